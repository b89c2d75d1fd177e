// Numbers as the sweep prints them: the shortest decimal that reads back to
// the same double, so that a printed parameter is the parameter.
#pragma once

#include <charconv>
#include <cmath>
#include <string>

namespace meshcut_sweep {

inline std::string Number(double v) {
    if (v == 0.0) return "0";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, result.ptr);
}

// Grid steps as model units, to the grid step.
inline std::string UnitsText(double steps, double stepsPerUnit) { return Number(std::round(steps) / stepsPerUnit); }

// "(x, y, z)" of model-unit values.
inline std::string Triple(const double* v) {
    std::string text = "(";
    text.append(Number(v[0])).append(", ").append(Number(v[1])).append(", ").append(Number(v[2])).append(")");
    return text;
}
// "x,y,z" as the tool's options take it.
inline std::string CommaTriple(const double* v) { return Number(v[0]) + "," + Number(v[1]) + "," + Number(v[2]); }

}  // namespace meshcut_sweep
