#include "module_binding.h"

#include "module_port.h"
#include "tcpsock.h"

module_binding::module_binding(const at_link &link)
{
    module_bind(module_ops_over(link));
}

module_binding::module_binding(net_exchange)
{
    module_bind(net_module_ops());
}

module_binding::module_binding(get_fn get, set_fn set, echo_fn echo)
    : get_(get), set_(set), echo_(echo)
{
    module_ops ops;
    ops.ctx = this;
    ops.send_cmd_get = [](void *ctx, const char *cmd, char *ret) {
        const auto *self = static_cast<module_binding *>(ctx);
        return self->get_ ? self->get_(cmd, ret) : 0;
    };
    ops.send_cmd_set = [](void *ctx, const char *cmd) {
        const auto *self = static_cast<module_binding *>(ctx);
        return self->set_ ? self->set_(cmd) : 0;
    };
    ops.echo = [](void *ctx) {
        const auto *self = static_cast<module_binding *>(ctx);
        return self->echo_ ? self->echo_() : 0;
    };
    module_bind(ops);
}

module_binding::~module_binding()
{
    module_bind(module_ops());
}
