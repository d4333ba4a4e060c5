// What a run does with a module that answers with a MID it has seen: a
// module that reconnects (after its restart, say) is not configured again
// once it is done, nor tried without end when it failed.
#ifndef MODCFG_CLI_MID_POLICY_H
#define MODCFG_CLI_MID_POLICY_H

#include <map>
#include <string>

class cli_mid_policy
{
  public:
    enum class verdict {
        go,     // configure it; it is in progress from now on
        busy,   // its old connection is still at work
        done,   // done in this run
        failed, // failed more than the retries allow
    };

    // `retries`: how often a MID that failed is tried again.
    explicit cli_mid_policy(long retries) : retries_(retries) {}

    // A module with `mid` (not empty) answered. `first` tells whether this
    // is the first done or failed verdict for it (the operator is told once).
    verdict decide(const std::string &mid, bool *first);
    // The module with `mid` that was let go on ended with `result`.
    void ended(const std::string &mid, const std::string &result);
    // What its last run gave, and how often it failed.
    std::string last_result(const std::string &mid) const;
    long failures(const std::string &mid) const;

  private:
    struct history {
        std::string last_result;
        long failures = 0;
        bool in_progress = false;
        bool named = false; // the operator was told it is left alone
    };
    long retries_;
    std::map<std::string, history> mids_;
};

#endif
