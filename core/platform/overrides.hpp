// The steps of the core that a host may stand in for (a Python caller that
// replaces a module function) are std::function members of an `...Overrides`
// struct, named after the step; an empty member runs the core's own step.
#pragma once

#include <utility>

namespace merivane {

// `step` run through the host's stand-in when it set one, else `own`.
template <class Step, class Own, class... Args>
decltype(auto) run_step(const Step& step, Own&& own, Args&&... args) {
    if (step) return step(std::forward<Args>(args)...);
    return std::forward<Own>(own)(std::forward<Args>(args)...);
}

}  // namespace merivane
