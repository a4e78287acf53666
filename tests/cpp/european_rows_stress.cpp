// The long run of the European row functions: N random rows across the
// domain (100 million unless given) through every function on each lane
// path the processor has, the implied volatility included, against the
// single-row functions, bit for bit.
// Not part of the test suite; build and run it with
//
//   cmake --build build/check --target european_rows_stress
//   build/check/tests/cpp/european_rows_stress [rows] [seed]
//
// It prints the count compared and differing per path, the first few
// differences, and exits 1 on any.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "european_domain.hpp"
#include "pricing/math/vector_path.hpp"

int main(int argc, char** argv) {
    using namespace varnelle;
    using namespace varnelle::testing;
    const std::size_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000'000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::printf("vector path of this process: %s\n", vector_path_choice().description.c_str());
    std::vector<VectorPath> paths;
    for (const VectorPath p : {VectorPath::Avx2, VectorPath::Avx512}) {
        if (vector_path_supported(p)) paths.push_back(p);
    }
    std::vector<RowsCheck> checks(paths.size()), implied_checks(paths.size());
    EuropeanDomain domain(seed), implied_domain(seed + 1);
    std::mt19937_64 implied_gen(seed + 2);
    RowBatch batch;
    ImpliedBatch implied;
    const auto start = std::chrono::steady_clock::now();
    std::size_t done = 0;
    while (done < total) {
        batch.clear();
        const std::size_t n = std::min<std::size_t>(1'000'000, total - done);
        for (std::size_t i = 0; i < n; ++i) {
            OptionInputs in;
            OptionType type;
            domain.next(in, type);
            batch.add(in, type);
        }
        const std::vector<double> want = scalar_results(batch);
        for (std::size_t p = 0; p < paths.size(); ++p) compare_results(batch, row_results(batch, paths[p]), want, checks[p]);
        implied.clear();
        for (std::size_t i = 0; i < n; ++i) add_implied_row(implied, implied_domain, implied_gen);
        for (std::size_t p = 0; p < paths.size(); ++p) check_implied(implied, paths[p], implied_checks[p]);
        done += n;
        if (done % 10'000'000 == 0 || done == total) {
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%zu rows, %.0f s\n", done, s);
            std::fflush(stdout);
        }
    }
    bool clean = true;
    for (std::size_t p = 0; p < paths.size(); ++p) {
        std::printf("%s: %zu values compared over %zu rows, %zu differ\n%s", vector_path_name(paths[p]),
                    checks[p].compared, total, checks[p].differing, checks[p].first.c_str());
        std::printf("%s implied volatility: %zu rows compared, %zu differ\n%s", vector_path_name(paths[p]),
                    implied_checks[p].compared, implied_checks[p].differing, implied_checks[p].first.c_str());
        clean = clean && checks[p].differing == 0 && implied_checks[p].differing == 0;
    }
    return clean ? 0 : 1;
}
