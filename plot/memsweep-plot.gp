# SPDX-License-Identifier: MIT
# memsweep-plot.gp -- memsweep-plot's picture, drawn by gnuplot after the
# variables file that memsweep-plot writes beside the data:
#
#   cd FOLDER && gnuplot variables.gp memsweep-plot.gp
#
# Everything the picture shows comes from the variables (named values and
# arrays; *_count is an array's length) and from the data files beside
# them, and the picture is written beside them as "picture":
#   cells.dat      "label stride value flag text", a size a block
#   latency.dat    one block a curve: "bytes ns min max point"
#   bandwidth.dat  one block a curve: "bytes figure low high point"
#   loaded.dat     one block a curve: "load ns min max point"
#   knees.dat      "load ns", one line a starred knee
# Text reaches this program only as values; it never runs any of it.

red = "#d62728"
sizes = "16K 32K 64K 128K 256K 512K 1M 2M 4M 8M 16M 32M 64M 128M 256M 512M 1G 2G 4G"
cells = "cells.dat"

# The terminal draws text as written: a title's "_" stays an underscore.
if (format eq "svg") {
    set terminal svg size width,height dynamic noenhanced font "DejaVu Sans,13" background rgb "white"
} else {
    set terminal pngcairo size width,height noenhanced font "DejaVu Sans,13" background rgb "white"
}
set output "picture"

# The caption: a line a label under the title (and for two inputs under
# the heading), a line of text apart.
top = two ? 3.2 : 2.2
do for [i = 1:caption_count] {
    set label 100 + i caption[i] at screen 0.5, screen 1 center offset 0, -top - 1.2 * i font ",12" noenhanced
}
if (two) {
    set label 98 heading at screen 0.5, screen 1 center offset 0, -1.2 font ",16" noenhanced
    set label 99 title at screen 0.5, screen 1 center offset 0, -2.5 font ",13" noenhanced
    # The panels start under the caption.
    gap = ""
    do for [i = 1:caption_count + 3] { gap = gap."\n" }
    set multiplot layout rows, columns title gap font ",13"
} else {
    gap = ""
    do for [i = 1:(caption_count > 0 ? caption_count + 1 : 0)] { gap = gap."\n" }
    set multiplot layout rows, columns title title.gap font ",17" noenhanced
}

# marked: a cache's mark falls within the grid's sizes.
marked(k) = mark_x[k] >= min_label - 0.5 && mark_x[k] <= max_label + 0.5

# ====================== The grid ======================

# Room above each flat panel for its title and the caches' names.
set tmargin 5

set xrange [min_label - 0.5:max_label + 0.5]
set yrange [min_stride - 0.5:max_stride + 0.5]
set xtics () out nomirror
# Every size is a tick; where there are more than eight, every other one
# is named, so that the names stay apart.
name_every = max_label - min_label >= 8 ? 2 : 1
do for [l = min_label:max_label] {
    if ((l - min_label) % name_every == 0) { set xtics add (word(sizes, l) l) } else { set xtics add ("" l 1) }
}
set ytics 1 out nomirror
set cbtics out

if (two) {
    # The ratio map: a diverging log scale around 1, as far either way.
    set title "B / A per cell" offset 0,1
    set xlabel "working-set size"
    set ylabel "stride (8-byte elements)"
    set logscale cb 2
    set cbrange [1.0 / scale:scale]
    set palette defined (0 "#2166ac", 0.5 "#f7f7f7", 1 "#b2182b")
    set cblabel "B / A (above 1: B is faster)"
    do for [k = 1:mark_count] {
        if (marked(k)) {
            set arrow k from mark_x[k], graph 0 to mark_x[k], graph 1 nohead dashtype 2 linewidth 2 \
                linecolor rgb red front
            set label k mark_name[k]." ".mark_size[k] at mark_x[k], graph 1.03 center textcolor rgb red front
        }
    }
    # A cell that is the same in both is drawn neutral, as a ratio of 1.
    plot cells using 1:2:3 with image notitle, \
         "" using 1:2:(strcol(5) eq "-" ? "" : strcol(5)) with labels font ",10" notitle
    unset logscale cb
} else {
    set palette defined (0 "#440154", 1 "#3b528b", 2 "#21918c", 3 "#5ec962", 4 "#fde725")
    set cbrange [0:scale]
    set title "Throughput surface"
    set view 58, 124, 1, 1.1
    set tmargin
    set xyplane at 0
    set zrange [0:scale * 1.05]
    set ztics out
    set zlabel "GB/s" rotate parallel offset -1
    set xlabel "working-set size" rotate parallel offset 0,-0.5
    set ylabel "stride" rotate parallel
    set grid x y z
    set pm3d depthorder border linecolor rgb "#333333" linewidth 0.5
    unset colorbox
    # The caches on the surface's floor ...
    do for [k = 1:mark_count] {
        if (marked(k)) {
            set arrow k from mark_x[k], min_stride - 0.5, 0 to mark_x[k], max_stride + 0.5, 0 nohead \
                dashtype 2 linewidth 2 linecolor rgb red front
            set label k mark_name[k] at mark_x[k], min_stride - 0.5, 0 center offset 0,-0.8 \
                textcolor rgb red front
        }
    }
    splot cells using 1:2:3 with pm3d notitle
    unset grid
    unset arrow
    unset label
    unset zrange
    set colorbox
    set view map
    set tmargin 5
    set title "Throughput heat map (GB/s)" offset 0,1
    set xlabel "working-set size" norotate offset 0,0
    set ylabel "stride (8-byte elements)" rotate by 90
    set cblabel "GB/s"
    # ... and across the heat map.
    do for [k = 1:mark_count] {
        if (marked(k)) {
            set arrow k from mark_x[k], graph 0 to mark_x[k], graph 1 nohead dashtype 2 linewidth 2 \
                linecolor rgb red front
            set label k mark_name[k]." ".mark_size[k] at mark_x[k], graph 1.03 center textcolor rgb red front
        }
    }
    # Dark figures on the light end of the scale, light ones on the dark
    # end; a grey hatch over each cell whose passes spread too far to trust.
    plot cells using 1:2:3 with image notitle, \
         "" using 1:($4 > 0 ? $2 : NaN):(0.5):(0.5) with boxxyerror \
            fillstyle transparent pattern 2 noborder linecolor rgb "#a0a0a0" notitle, \
         "" using 1:2:(sprintf("%.3g", $3)):($3 > 0.6 * scale ? 0x202020 : 0xf0f0f0) \
            with labels font ",9" textcolor rgb variable notitle
}

# ====================== The curve panels ======================

# bytes_axis sets an axis of bytes from low to high, log 2, with ticks at
# the powers of two it spans and the caches marked where they fall in it.
low = 1
high = 2
bytes_axis = 'set logscale x 2; set xrange [low:high]; set xtics () out nomirror; ' . \
    'every = log(high / low) / log(2) > 10 ? 2 : 1; ' . \
    'do for [p = 14:32] { if (2 ** p >= low && 2 ** p <= high) { ' . \
    'if (p % every == 0) { set xtics add (word(sizes, p - 13) 2 ** p) } else { set xtics add ("" 2 ** p 1) } } }; ' . \
    'do for [k = 1:mark_count] { if (mark_bytes[k] >= low && mark_bytes[k] <= high) { ' . \
    'set arrow k from mark_bytes[k], graph 0 to mark_bytes[k], graph 1 nohead dashtype 2 linewidth 2 ' . \
    'linecolor rgb red front; set label k mark_name[k]." ".mark_size[k] at mark_bytes[k], graph 1.03 ' . \
    'center textcolor rgb red front } }'

# log_tics sets a log axis of figures from y_low to y_high with ticks at
# 1, 2 and 5 of each power of ten where it spans four at most, else at the
# powers alone.
y_low = 1
y_high = 10
log_tics = 'set ytics () out nomirror; lo = floor(log10(y_low)); hi = ceil(log10(y_high)); ' . \
    'do for [e = lo:hi] { do for [m in "1 2 5"] { v = (m + 0) * 10.0 ** e; ' . \
    'if (v >= y_low && v <= y_high && (hi - lo <= 4 || m eq "1")) { set ytics add (sprintf("%g", v) v) } } }'

# fresh clears what the panel before left behind.  A flat panel's title
# stands a line above the caches' names.
fresh = 'unset arrow; do for [k = 1:99] { unset label k }; unset logscale; set size noratio; set title offset 0,1; ' . \
    'set key default noenhanced font ",11"; set grid x y; set xtics auto out nomirror; ' . \
    'set ytics auto out nomirror; set xlabel norotate offset 0,0; set ylabel rotate by 90'

if (latency_count > 0) {
    # Latency against working-set size, both on log scales: the median as
    # a line, the range from min to max as a band around it.
    eval fresh
    set title "Latency"
    set xlabel "working-set size"
    set ylabel "latency (ns per load)"
    low = latency_x_low
    high = latency_x_high
    eval bytes_axis
    set logscale y 10
    set yrange [latency_y_low:latency_y_high]
    y_low = latency_y_low
    y_high = latency_y_high
    eval log_tics
    set key inside bottom right
    plot for [c = 1:latency_count] "latency.dat" index c - 1 using 1:3:4 with filledcurves \
            fillcolor rgb latency_colour[c] fillstyle transparent solid 0.25 noborder \
            title (two ? "" : "min to max"), \
         for [c = 1:latency_count] "latency.dat" index c - 1 using 1:2 with linespoints \
            linecolor rgb latency_colour[c] pointtype 7 pointsize 0.7 linewidth 2 title latency_title[c]
}

if (bandwidth_count > 0) {
    # Bandwidth against the working set per thread: GB/s for one record,
    # B / A for two with each point's verdict as its point.
    eval fresh
    set title "Bandwidth"
    set xlabel "working-set size per thread"
    low = bandwidth_x_low
    high = bandwidth_x_high
    eval bytes_axis
    if (two) {
        set ylabel "B / A (above 1: B is faster)"
        set logscale y 2
        set yrange [1.0 / (bandwidth_scale * 1.1):bandwidth_scale * 1.1]
        set ytics () out nomirror
        # Ticks a readable distance apart: the fine ones only on a narrow scale.
        ratios = bandwidth_scale * 1.1 > 1.4 ? "0.25 0.5 0.67 0.8 1 1.25 1.5 2 4" : "0.8 0.9 0.95 1 1.05 1.1 1.25"
        do for [r in ratios] {
            if (r + 0 >= 1.0 / (bandwidth_scale * 1.1) && r + 0 <= bandwidth_scale * 1.1) { set ytics add (r r + 0) }
        }
        set arrow 100 from graph 0, first 1 to graph 1, first 1 nohead linecolor rgb "#808080"
    } else {
        set ylabel "GB/s"
        set logscale y 10
        set yrange [bandwidth_y_low:bandwidth_y_high]
        y_low = bandwidth_y_low
        y_high = bandwidth_y_high
        eval log_tics
        # The memory plateau's figures, under the panel's title.
        if (plateau ne "") { set title "Bandwidth\n".plateau }
    }
    if (bandwidth_key_outside) {
        set key outside below center horizontal maxrows 4 font ",11"
    } else {
        set key inside bottom left
    }
    if (two) { set key title "filled: faster or slower; open: the same" left }
    plot for [c = 1:bandwidth_count] "bandwidth.dat" index c - 1 using 1:2:5 with linespoints \
        pointtype variable pointsize 0.8 linewidth 2 linecolor rgb bandwidth_colour[c] \
        dashtype bandwidth_dash[c] title bandwidth_title[c]
}

if (loaded_count > 0) {
    # Latency against the load the other CPUs put on memory, in order of
    # load from the idle point at 0 GB/s, each point with its passes'
    # range; a star where a knee stands clear of the spread.
    eval fresh
    set title "Loaded latency"
    set xlabel "load of the other CPUs (GB/s)"
    set ylabel "latency (ns per load)"
    set xrange [0:loaded_x_high]
    set yrange [0:loaded_y_high]
    if (loaded_key_outside) {
        set key outside below center horizontal maxrows 4 font ",11"
    } else {
        set key inside top left
    }
    if (two) { set key title "filled: faster or slower; open: the same" left }
    plot for [c = 1:loaded_count] "loaded.dat" index c - 1 using 1:2:3:4 with yerrorbars \
            pointtype 7 pointsize 0 linewidth 1 linecolor rgb loaded_colour[c] notitle, \
         for [c = 1:loaded_count] "loaded.dat" index c - 1 using 1:2:5 with linespoints \
            pointtype variable pointsize 0.9 linewidth 2 linecolor rgb loaded_colour[c] \
            dashtype loaded_dash[c] title loaded_title[c], \
         for [k = 1:knees] "knees.dat" every ::(k - 1)::(k - 1) using 1:2 with points pointtype 3 \
            pointsize 2.5 linewidth 2 linecolor rgb red title (k == 1 ? "knee: twice the idle latency" : "")
}
unset multiplot
set output
