# Latency distributions (CDF) of one benchmark run, from the cdf-<subject>.dat files.
# bench/run calls it as:
#   gnuplot -e "dir='OUT'; names='floor quorvel node-peer'; eight=1" bench/cdf.gp
# eight=1 adds the eight-camera phase (cdf-<subject>-8cam.dat, to the second camera datagram)
# as dashed curves in each subject's colour; without it only the one-camera curves are drawn.
if (!exists("eight")) eight = 0
set terminal svg size 900,540 dynamic noenhanced font 'sans,12' background '#ffffff'
set output dir.'/latency-cdf.svg'
set title 'Switcher datagram carrying a cut to the camera datagram'
if (eight) set title "Switcher datagram carrying a cut to the camera datagram\n(dashed: eight cameras, to the second of the two camera datagrams)"
set xlabel 'latency (µs, log scale)'
set ylabel 'fraction of cuts'
set logscale x
set yrange [0:1]
set grid xtics mxtics ytics
set key bottom right
label(n) = n eq 'floor' ? 'floor relay' : n eq 'node-peer' ? 'Node peer (atem-connection)' : n
# One plot command either way: a loop over no files would still look for them.
curves1 = "for [i=1:words(names)] dir.'/cdf-'.word(names, i).'.dat' using 1:2 with steps lw 2 lc i title label(word(names, i))"
curves8 = "for [i=1:words(names)] dir.'/cdf-'.word(names, i).'-8cam.dat' using 1:2 with steps lw 2 dt 2 lc i title label(word(names, i)).', 8 cameras'"
if (eight) {
  plot @curves1, @curves8
} else {
  plot @curves1
}
