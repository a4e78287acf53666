// One call of american_greeks, for counting its instructions under
// callgrind: a count is repeatable on a busy machine where a time is not.
// Inputs come from the command line so nothing is folded at compile time.
#include <cstdio>
#include <cstdlib>

#include "pricing/american/bs2002/american_price.hpp"

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s s k t r sigma q call|put\n", argv[0]);
        return 2;
    }
    const varnelle::OptionInputs in{std::atof(argv[1]), std::atof(argv[2]), std::atof(argv[3]),
                                    std::atof(argv[4]), std::atof(argv[5]), std::atof(argv[6])};
    const auto side = argv[7][0] == 'p' ? varnelle::OptionType::Put : varnelle::OptionType::Call;
    const varnelle::Greeks g = varnelle::american_greeks(in, side);
    std::printf("delta=%.17g gamma=%.17g theta=%.17g vega=%.17g rho=%.17g\n", g.delta, g.gamma,
                g.theta, g.vega, g.rho);
    return 0;
}
