# R's kohonen (Debian's r-cran-kohonen) for the benchmark: trains the maps
# that run_bench.py asks for on data it passes through a file, times each
# training call inside R (so that R's start and the file reading are not
# counted) and writes each final codebook back.
#
#   Rscript kohonen.R DATA N D XDIM YDIM TOPO INIT OUT RUN...
#
# DATA: N x D float64 values, row by row, little-endian. INIT: a codebook of
# XDIM * YDIM x D float64 values in kohonen's node order (x fastest), or "-"
# for kohonen's own start. Each RUN is NAME:MODE:RLEN:SETTINGS, SETTINGS
# "defaults" (kohonen's own grid, radius, neighbourhood, alpha and start) or
# "gaussian,R0,R1" (a TOPO grid, rectangular or hexagonal, never toroidal as
# the peers run planar; gaussian neighbourhood, radius linear from R0 to R1,
# starting from INIT). Writes OUT.NAME.pts (the node positions, XDIM * YDIM
# x 2 float64), OUT.NAME.bin (the final codebook, float64) and OUT.times
# (NAME seconds, one a line).
suppressPackageStartupMessages(library(kohonen))

args <- commandArgs(trailingOnly = TRUE)
n <- as.integer(args[2])
d <- as.integer(args[3])
xdim <- as.integer(args[4])
ydim <- as.integer(args[5])
topo <- args[6]
out <- args[8]
runs <- args[-(1:8)]

con <- file(args[1], "rb")
data <- matrix(readBin(con, "double", n * d, endian = "little"), ncol = d,
               byrow = TRUE)
close(con)

init <- NULL
if (args[7] != "-") {
    con <- file(args[7], "rb")
    init <- matrix(readBin(con, "double", xdim * ydim * d, endian = "little"),
                   ncol = d, byrow = TRUE)
    close(con)
}

write_matrix <- function(m, path) {
    con <- file(path, "wb")
    writeBin(as.double(t(m)), con, endian = "little")
    close(con)
}

times <- character(0)
for (run in runs) {
    parts <- strsplit(run, ":", fixed = TRUE)[[1]]
    name <- parts[1]
    mode <- parts[2]
    rlen <- as.integer(parts[3])
    settings <- strsplit(parts[4], ",", fixed = TRUE)[[1]]
    if (settings[1] == "defaults") {
        grid <- somgrid(xdim, ydim)
        call <- function() supersom(data, grid = grid, rlen = rlen,
                                    mode = mode, cores = 2,
                                    keep.data = FALSE)
    } else {
        grid <- somgrid(xdim, ydim, topo, neighbourhood.fct = "gaussian")
        radius <- as.numeric(settings[2:3])
        call <- function() supersom(data, grid = grid, rlen = rlen,
                                    mode = mode, cores = 2, radius = radius,
                                    init = list(init), keep.data = FALSE)
    }
    set.seed(1)
    seconds <- system.time(model <- call())[["elapsed"]]
    times <- c(times, sprintf("%s %.6f", name, seconds))
    write_matrix(model$codes[[1]], paste0(out, ".", name, ".bin"))
    write_matrix(model$grid$pts, paste0(out, ".", name, ".pts"))
}
writeLines(times, paste0(out, ".times"))
