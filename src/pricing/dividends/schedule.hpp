// A row's cash dividends, read once into the form every pricing function of
// this room uses: the dividends that count, in time order, ties merged.
//
// Rows arrive as two arrays (ex-times in years from today, cash amounts) and
// a count, as a generalized ufunc hands over a row's core dimension; padding
// entries carry a zero amount. The rules:
//   - a dividend counts when 0 < time <= t: one at or before today is already
//     in the spot, one after expiry changes nothing, one on the expiry date
//     falls before the option expires;
//   - a zero amount changes nothing, wherever its time (NaN included: padding
//     rows need not fill their times);
//   - the order of the arrays does not matter; dividends on one date add up
//     (the spot falls by the sum, floored at zero, either way);
//   - a NaN or negative amount, or a NaN time with a non-zero amount, makes
//     the whole row NaN. An infinite amount takes the spot to zero.
#pragma once

#include <cstddef>
#include <vector>

namespace varnelle {

struct CashDividend {
    double time;    // years from today, in (0, t]
    double amount;  // > 0
};

class DividendSchedule {
public:
    // Reads the row for an option expiring at t. Returns false when the row
    // must be NaN (the schedule is then empty).
    bool assign(double t, const double* times, const double* amounts, std::size_t n);

    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const CashDividend& operator[](std::size_t i) const { return items_[i]; }
    const std::vector<CashDividend>& items() const { return items_; }
    double total() const;

    // The same dividends in units of a strike: amounts / k.
    void scaled(double k, DividendSchedule& out) const;

    friend bool operator==(const DividendSchedule& a, const DividendSchedule& b);

private:
    std::vector<CashDividend> items_;
};

}  // namespace varnelle
