# Draws the benchmark chart: throughput per case (top) and start-up time
# (bottom). Called by bench/run.sh with dir (tput.dat, groups.gp,
# startup.dat) and out (the PNG) set. Data rows: x, "command", value, class.
set terminal pngcairo size 1600,1000 font ",9"
set output out
set style fill solid 0.9 border -1
set boxwidth 0.8
set grid ytics
set key off
colour(c) = c == 1 ? 0x1f5fa8 : c == 2 ? 0x7fb0e0 : c == 4 ? 0xd0d0d0 : 0x9a9a9a

set multiplot layout 2,1
set size 1,0.66
set origin 0,0.34
set title "Throughput, GB/s (log scale; dark blue: tandro x86-64, light blue: tandro i386, grey: peers)" offset 0,1
set logscale y
set xtics rotate by 50 right font ",8" nomirror
set xrange [0:*]
set tmargin 4
load dir."/groups.gp"
plot dir."/tput.dat" using 1:3:(colour($4)):xtic(2) with boxes lc rgb variable

unset label
set size 1,0.34
set origin 0,0
set title "Start-up, ms per run of a 1-byte file (median, log scale; pale grey: the floor)" offset 0,0
set tmargin 2
set logscale y
set xrange [0:*]

set xtics rotate by 30 right font ",8"
plot dir."/startup.dat" using 1:3:(colour($4)):xtic(2) with boxes lc rgb variable
unset multiplot
