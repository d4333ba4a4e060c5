#include "module_port.h"

#include "module.h"
#include "module_at.h"

namespace
{

// Constant-initialised: bound before main by a static object, it is
// never overwritten by its own initialisation.
module_ops bound;

int link_get(void *ctx, const char *cmd, char *ret)
{
    return at_send_cmd_get(*static_cast<const at_link *>(ctx), cmd, ret);
}

int link_set(void *ctx, const char *cmd)
{
    return at_send_cmd_set(*static_cast<const at_link *>(ctx), cmd);
}

int link_echo(void *ctx)
{
    return at_echo(*static_cast<const at_link *>(ctx));
}

} // namespace

void module_bind(const module_ops &ops)
{
    bound = ops;
}

const module_ops &module_bound()
{
    return bound;
}

module_ops module_ops_over(const at_link &link)
{
    module_ops ops;
    ops.send_cmd_get = link_get;
    ops.send_cmd_set = link_set;
    ops.echo = link_echo;
    ops.ctx = const_cast<at_link *>(&link);
    return ops;
}
