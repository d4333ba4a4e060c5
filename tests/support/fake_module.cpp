// Scripted module answers for reader and exchange tests.
#include "fake_module.h"

#include "module.h"

#include <cstring>
#include <gtest/gtest.h>

void fake_module::reply(const std::string &cmd, const std::string &value)
{
    // A longer value cannot come out of the exchange: the script is wrong.
    EXPECT_LE(value.size(), static_cast<size_t>(AT_VALUE_MAX)) << cmd;
    values_[cmd] = value.substr(0, AT_VALUE_MAX);
}

void fake_module::fail(const std::string &cmd) { values_.erase(cmd); }

void fake_module::clear()
{
    values_.clear();
    sent_.clear();
}

int fake_module::answer(const char *cmd, char *ret)
{
    sent_.push_back(cmd);
    auto it = values_.find(cmd);
    if (it == values_.end())
        return 0;
    std::memset(ret, 0, AT_VALUE_MAX + 1);
    std::memcpy(ret, it->second.data(), it->second.size());
    return 1;
}
