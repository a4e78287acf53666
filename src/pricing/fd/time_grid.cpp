#include "pricing/fd/time_grid.hpp"

#include <algorithm>
#include <cmath>

namespace varnelle::fd {

TimeGrid::TimeGrid(double t, std::size_t steps, std::span<const double> stopping_times) {
    // The ends of the intervals, in tau and in u = sqrt(tau / t).
    std::vector<double> ends;
    for (const double s : stopping_times) {
        if (s > 0.0 && s < t) ends.push_back(s);
    }
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    ends.push_back(t);

    const double total = static_cast<double>(steps);
    double from = 0.0, u_from = 0.0;
    for (const double to : ends) {
        const bool last = to == t;
        const double u_to = last ? 1.0 : std::sqrt(to / t);
        const double share = std::ceil(total * (u_to - u_from));
        const std::size_t count = share > 1.0 ? static_cast<std::size_t>(share) : 1;
        const double per_step = static_cast<double>(count);
        double before = from;
        for (std::size_t i = 1; i <= count; ++i) {
            // Written so that one interval over the whole life gives t (i /
            // steps)^2 exactly.
            const double u = u_from + (u_to - u_from) * (static_cast<double>(i) / per_step);
            const double tau = i == count ? to : t * (u * u);
            if (i == 1) {
                const double mid = 0.5 * (before + tau);
                steps_.push_back({mid, mid - before, StepScheme::ImplicitEuler, false});
                steps_.push_back({tau, tau - mid, StepScheme::Bdf2, i == count && !last});
            } else {
                steps_.push_back({tau, tau - before, StepScheme::Bdf2, i == count && !last});
            }
            before = tau;
        }
        from = to;
        u_from = u_to;
    }
}

}  // namespace varnelle::fd
