// The run's memory of each MID.
#include "cli_mid_policy.h"

#include "cli_job.h"

cli_mid_policy::verdict cli_mid_policy::decide(const std::string &mid, bool *first)
{
    history &h = mids_[mid];
    *first = false;
    // Its old connection may still be at work (a module restarted by hand
    // under way): this one is let go and closed, so the module comes back
    // once that ended, and the rules below decide then.
    if (h.in_progress)
        return verdict::busy;
    const bool done = !h.last_result.empty() && cli_result_done(h.last_result);
    if (done || h.failures > retries_) {
        *first = !h.named;
        h.named = true;
        return done ? verdict::done : verdict::failed;
    }
    h.in_progress = true;
    return verdict::go;
}

void cli_mid_policy::ended(const std::string &mid, const std::string &result)
{
    const auto it = mids_.find(mid);
    if (it == mids_.end() || !it->second.in_progress)
        return;
    history &h = it->second;
    h.in_progress = false;
    h.last_result = result;
    if (!cli_result_done(result))
        h.failures++;
}

std::string cli_mid_policy::last_result(const std::string &mid) const
{
    const auto it = mids_.find(mid);
    return it == mids_.end() ? "" : it->second.last_result;
}

long cli_mid_policy::failures(const std::string &mid) const
{
    const auto it = mids_.find(mid);
    return it == mids_.end() ? 0 : it->second.failures;
}
