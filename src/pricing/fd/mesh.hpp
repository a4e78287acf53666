// A uniform mesh in one space variable with a chosen point on a node.
#pragma once

#include <cmath>
#include <cstddef>

namespace varnelle::fd {

// Nodes x_j = centre + (j - below) h, j = 0 .. below + above. The centre is
// node `below`, so a value or derivative read there needs no interpolation,
// and the nodes move with the centre: results are smooth in it.
struct UniformMesh {
    double h;
    double centre;
    std::size_t below, above;

    std::size_t size() const { return below + above + 1; }
    double x(std::size_t j) const { return centre + (static_cast<double>(j) - static_cast<double>(below)) * h; }
};

// The mesh of spacing h that reaches at least `low` below the centre and
// `high` above it.
inline UniformMesh mesh_around(double centre, double low, double high, double h) {
    return {h, centre, static_cast<std::size_t>(std::ceil(low / h)), static_cast<std::size_t>(std::ceil(high / h))};
}

}  // namespace varnelle::fd
