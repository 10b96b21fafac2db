# R kohonen's supervised map, xyf, for bench/supervised.py: trains one map
# per cross-validation fold at xyf's defaults and predicts the fold's test
# rows, timing each training call inside R (R's start and the file reading
# are not counted).
#
#   Rscript xyf.R FOLDER FOLDS D TASK
#
# FOLDER holds, for each fold k of 1..FOLDS, train-X-k.bin and test-X-k.bin
# (rows of D float64 values, little-endian) and train-y-k.bin (float64; class
# codes 0, 1, ... where TASK is "classification", the target where it is
# "regression"). Writes pred-k.bin (float64: the predicted class code or
# value of every test row) and times (one line per fold, in seconds).
#
# xyf runs at its defaults (an 8 x 6 rectangular grid, online training of
# 100 passes, alpha 0.05 to 0.01, equal layer weights, kohonen's layer
# normalisation, random rows as the start); the class is a factor, so its
# layer uses the Tanimoto distance. predict is given the codebook as the
# units' predictions, so that each unit predicts its label codebook vector
# as xyf's prediction is described, rather than the mean of the training
# rows mapped to it, which is NA for a unit that none reaches.
suppressPackageStartupMessages(library(kohonen))

args <- commandArgs(trailingOnly = TRUE)
folder <- args[1]
folds <- as.integer(args[2])
d <- as.integer(args[3])
task <- args[4]

read_matrix <- function(path, columns) {
    size <- file.info(path)$size / 8
    con <- file(path, "rb")
    values <- readBin(con, "double", size, endian = "little")
    close(con)
    matrix(values, ncol = columns, byrow = TRUE)
}

times <- character(0)
for (k in seq_len(folds)) {
    X <- read_matrix(file.path(folder, sprintf("train-X-%d.bin", k)), d)
    y <- read_matrix(file.path(folder, sprintf("train-y-%d.bin", k)), 1)[, 1]
    test <- read_matrix(file.path(folder, sprintf("test-X-%d.bin", k)), d)
    Y <- if (task == "classification") factor(y) else matrix(y, ncol = 1)
    set.seed(k)
    seconds <- system.time(model <- xyf(X, Y))[["elapsed"]]
    times <- c(times, sprintf("%.6f", seconds))
    predicted <- predict(model, newdata = list(test), whatmap = 1,
                         unit.predictions = model$codes)$predictions[[2]]
    values <- if (task == "classification") {
        as.numeric(as.character(predicted))
    } else {
        as.numeric(predicted)
    }
    con <- file(file.path(folder, sprintf("pred-%d.bin", k)), "wb")
    writeBin(values, con, endian = "little")
    close(con)
}
writeLines(times, file.path(folder, "times"))
