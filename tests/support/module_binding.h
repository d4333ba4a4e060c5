// How a test program binds the module operations (module_send_cmd_get,
// module_send_cmd_set, module_echo): to the AT exchange over a link, as the
// serial window does with serial_link; to the locked exchange on the
// accepted socket, as the network window does; or to the test's own
// functions. Bound while the object lives; a file-scope one binds before
// main.
#ifndef MODCFG_TEST_MODULE_BINDING_H
#define MODCFG_TEST_MODULE_BINDING_H

#include "module.h"

class module_binding
{
  public:
    using get_fn = int (*)(const char *cmd, char *ret);
    using set_fn = int (*)(const char *cmd);
    using echo_fn = int (*)();
    struct net_exchange {
    };

    explicit module_binding(const at_link &link);
    explicit module_binding(net_exchange);
    // A null function answers 0, as a missing module does.
    module_binding(get_fn get, set_fn set, echo_fn echo);
    // Unbinds: every operation answers 0.
    ~module_binding();
    module_binding(const module_binding &) = delete;
    module_binding &operator=(const module_binding &) = delete;

  private:
    get_fn get_ = nullptr;
    set_fn set_ = nullptr;
    echo_fn echo_ = nullptr;
};

#endif
