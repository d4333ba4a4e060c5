// The three module operations the core calls (module_send_cmd_get,
// module_send_cmd_set, module_echo; module.h) go through one table that
// each program binds once at start, before any exchange: the core is handed
// its transport, never linked to it.
#ifndef MODCFG_MODULE_PORT_H
#define MODCFG_MODULE_PORT_H

struct at_link;

// Each operation gets `ctx` first. A null one fails (returns 0), as all
// three do before anything is bound: no module.
struct module_ops {
    int (*send_cmd_get)(void *ctx, const char *cmd, char *ret) = nullptr;
    int (*send_cmd_set)(void *ctx, const char *cmd) = nullptr;
    int (*echo)(void *ctx) = nullptr;
    void *ctx = nullptr;
};

// Replaces the bound operations; not safe against exchanges under way.
void module_bind(const module_ops &ops);
// The operations bound now.
const module_ops &module_bound();

// The AT exchange over `link` (at_send_cmd_get, at_send_cmd_set, at_echo),
// as the serial window binds it to serial_link. `link` must outlive the
// binding.
module_ops module_ops_over(const at_link &link);

// Query: 1 and the reply's value in ret (at least AT_VALUE_MAX + 1 bytes),
// or 0 with ret untouched.
inline int module_send_cmd_get(const char *cmd, char *ret)
{
    const module_ops &ops = module_bound();
    return ops.send_cmd_get ? ops.send_cmd_get(ops.ctx, cmd, ret) : 0;
}
// Set command: 1 when the module acknowledged, else 0.
inline int module_send_cmd_set(const char *cmd)
{
    const module_ops &ops = module_bound();
    return ops.send_cmd_set ? ops.send_cmd_set(ops.ctx, cmd) : 0;
}
// Echo test: 1 when the module echoes commands.
inline int module_echo()
{
    const module_ops &ops = module_bound();
    return ops.echo ? ops.echo(ops.ctx) : 0;
}

#endif
