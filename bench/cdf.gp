# Latency distributions (CDF) of one benchmark run, from the cdf-<subject>.dat files.
# bench/run calls it as: gnuplot -e "dir='OUT'; names='floor quorvel node-peer'" bench/cdf.gp
set terminal svg size 900,540 dynamic noenhanced font 'sans,12' background '#ffffff'
set output dir.'/latency-cdf.svg'
set title 'Switcher datagram carrying a cut to the camera datagram'
set xlabel 'latency (µs, log scale)'
set ylabel 'fraction of cuts'
set logscale x
set yrange [0:1]
set grid xtics mxtics ytics
set key bottom right
label(n) = n eq 'floor' ? 'floor relay' : n eq 'node-peer' ? 'Node peer (atem-connection)' : n
plot for [i=1:words(names)] dir.'/cdf-'.word(names, i).'.dat' using 1:2 with steps lw 2 \
     title label(word(names, i))
