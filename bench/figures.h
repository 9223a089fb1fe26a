// One row of the benchmark table: a measured figure beside the reference it
// is judged against (a baseline measured in the same run, or a ceiling such
// as the line's rate). Every program under bench/ prints its rows this way,
// and scripts/bench gathers the rows of all of them into one table (and into
// JSON with --json), so a figure is named and computed in one place only.
#ifndef MUX_BENCH_FIGURES_H
#define MUX_BENCH_FIGURES_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

// Printed as one line, fields separated by tabs:
//   FIGURE  name  value  unit  reference  ratio
// where ratio is value / reference (0 when there is no reference). Names are
// unique across programs; goodput figures start with "goodput ".
inline void PrintFigure(const std::string& name, double value, const std::string& unit,
                        double reference)
{
    const double ratio = reference != 0 ? value / reference : 0;
    std::printf("FIGURE\t%s\t%.6g\t%s\t%.6g\t%.4f\n", name.c_str(), value, unit.c_str(), reference,
                ratio);
    std::fflush(stdout);
}

// The quickest form of a program (scripts/bench --quick, as CI runs it):
// smaller transfers, the same figures.
inline bool Quick()
{
    const char* q = std::getenv("MUX_BENCH_QUICK");
    return q != nullptr && std::string(q) == "1";
}

}  // namespace bench

#endif
