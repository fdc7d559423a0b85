# Relative speed against DIRECT per workload and path (bench/run writes the table).
# Called as: gnuplot -e "dat='x.dat'; png='x.png'; ncols=N" bench/plot.gp
set terminal pngcairo size 1100,600 font "sans,10"
set output png
set title "Speed relative to a direct connection (DIRECT = 1; higher is better; log scale)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set yrange [0.005:2]
set ytics (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2)
set grid ytics
set datafile missing "-"
set key below horizontal
set xtics nomirror
set ylabel "relative speed"
plot for [i=2:ncols] dat using i:xtic(1) title columnheader(i), 1 with lines lc "black" dt 2 notitle
