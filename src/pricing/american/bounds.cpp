#include "pricing/american/bounds.hpp"

#include <cmath>

namespace varnelle {

double american_upper_bound(double s, double k, double t, double r, double q, OptionType type) {
    const double discounted = type == OptionType::Call ? s * std::exp((-q) * t) : k * std::exp((-r) * t);
    const double plain = type == OptionType::Call ? s : k;
    return discounted > plain ? discounted : plain;
}

}  // namespace varnelle
