#include "pricing/dividends/schedule.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace varnelle {

bool DividendSchedule::assign(double t, const double* times, const double* amounts, std::size_t n) {
    items_.clear();
    for (std::size_t i = 0; i < n; ++i) {
        const double d = amounts[i];
        const double when = times[i];
        if (std::isnan(d) || d < 0.0) {
            items_.clear();
            return false;
        }
        if (d == 0.0) continue;
        if (std::isnan(when)) {
            items_.clear();
            return false;
        }
        // A NaN t lets nothing count; the row is NaN through t anyway.
        if (!(when > 0.0) || !(when <= t)) continue;
        items_.push_back({when, d});
    }
    std::sort(items_.begin(), items_.end(),
              [](const CashDividend& a, const CashDividend& b) { return a.time < b.time; });
    // Dividends on one date: the spot falls by their sum (the floor at zero
    // gives the same spot either way), and exercising between two drops at
    // one instant never pays more than before both or after both.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (kept > 0 && items_[kept - 1].time == items_[i].time) {
            items_[kept - 1].amount += items_[i].amount;
        } else {
            items_[kept++] = items_[i];
        }
    }
    items_.resize(kept);
    return true;
}

double DividendSchedule::total() const {
    double sum = 0.0;
    for (const CashDividend& d : items_) sum += d.amount;
    return sum;
}

void DividendSchedule::scaled(double k, DividendSchedule& out) const {
    out.items_.resize(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i) out.items_[i] = {items_[i].time, items_[i].amount / k};
}

bool operator==(const DividendSchedule& a, const DividendSchedule& b) {
    // Bit equality, so a kept solution is reused only where solving again
    // would give the same numbers.
    return a.items_.size() == b.items_.size() &&
           (a.items_.empty() ||
            std::memcmp(a.items_.data(), b.items_.data(), a.items_.size() * sizeof(CashDividend)) == 0);
}

}  // namespace varnelle
