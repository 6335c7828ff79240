// SPDX-License-Identifier: MIT
/*
 * gnuplot.h -- a Picture (picture.h) drawn by gnuplot: its data blocks and
 * a small file of named variables written into a scratch folder, and
 * gnuplot run on those and the fixed program memsweep-plot.gp.  Text and
 * numbers reach gnuplot only as quoted values of the variables file and as
 * columns of data, never as commands.
 */
#ifndef MEMSWEEP_PLOT_GNUPLOT_H
#define MEMSWEEP_PLOT_GNUPLOT_H

#include <string>
#include <vector>

#include "plot/picture.h"

namespace plot
{

/* quoted is text as a gnuplot string that means exactly that text: in
 * single quotes, which take nothing in them as an escape, a quote doubled,
 * and every control character made '?'. */
std::string quoted(const std::string &text);

/* number is a figure as the data and variables write it: NaN for one that
 * is not finite, and a figure too small or too large for gnuplot's
 * arithmetic (its scales multiply and divide) held to 1e-300 and 1e300 in
 * size, which no measurement comes near. */
std::string number(double value);

/* variables is the variables file for a picture of format ("png" or
 * "svg"); gnuplot reads it, the data and writes the picture in the scratch
 * folder, by the files' short names (scratch_files). */
std::string variables(const Picture &p, const std::string &format);

/* write_data writes the picture's data blocks and its variables file into
 * folder; "" when all is written, else why not. */
std::string write_data(const Picture &p, const std::string &format, const std::string &folder);

/* The scratch folder's files, which a signal's handler removes. */
extern const char *const scratch_files[8];

/* program_path finds the gnuplot program: beside this command (a build
 * tree), in ../share/memsweep from it (an installed tree, moved or not),
 * or in the folder it was installed to; "" where none is. */
std::string program_path();

/* child_environment is an environment for gnuplot: numbers in the C
 * locale's form, every other part of the caller's locale (its characters
 * above all) kept.  LC_ALL would override LC_NUMERIC: its value becomes
 * LANG's, and it and the other categories go. */
std::vector<std::string> child_environment(char *const *environment);

/* run_gnuplot runs gnuplot in the scratch folder on its variables file and
 * the program, under child_environment; "" when it drew the picture, else
 * why not, in one line.  *child holds its process while it runs. */
std::string run_gnuplot(const std::string &program, const std::string &folder, volatile int *child);

/* gnuplot_found says whether gnuplot is on PATH. */
bool gnuplot_found();

}  // namespace plot

#endif /* MEMSWEEP_PLOT_GNUPLOT_H */
