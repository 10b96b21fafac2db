// The module's training call.
#ifndef QUORVEL_BINDING_TRAIN_H
#define QUORVEL_BINDING_TRAIN_H

#include <Python.h>

// train(data, epoch_count, columns, rows, dimension, vector_count,
//       radius_start, radius_end, radius_cooling, scale_start, scale_end,
//       scale_cooling, kernel_type, map_type, grid_type, cutoff,
//       use_gaussian, codebook, bmus, umatrix) -> None
PyObject *qv_train(PyObject *self, PyObject *args);

#endif
