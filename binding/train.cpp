// train: converts and checks the twenty arguments in order, runs the engine
// once on the caller's arrays, and turns engine failures into exceptions.
#define NO_IMPORT_ARRAY
#include "train.h"

#include "arrays.h"
#include "conversions.h"
#include "quorvel/engine.h"

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

// The first failure ends the call with one exception set, before the engine
// runs, so the in-place arrays are untouched. The interpreter's lock is held
// throughout, the engine call included: no other Python code can resize or
// free the arrays while the engine's threads use their memory.
static PyObject *qv_train_checked(PyObject *args) {
    PyObject *arguments[20];
    if (!PyArg_ParseTuple(
            args, "OOOOOOOOOOOOOOOOOOOO:train", &arguments[0], &arguments[1],
            &arguments[2], &arguments[3], &arguments[4], &arguments[5],
            &arguments[6], &arguments[7], &arguments[8], &arguments[9],
            &arguments[10], &arguments[11], &arguments[12], &arguments[13],
            &arguments[14], &arguments[15], &arguments[16], &arguments[17],
            &arguments[18], &arguments[19])) {
        return nullptr;
    }

    QvInputArray data;
    if (!qv_acquire_input_array(arguments[0], NPY_FLOAT, &data) ||
        !qv_check_one_dimension(data.array)) {
        return nullptr;
    }

    // Messages number the engine's parameters, in which `data` and its
    // length come first: argument i of the call is parameter i + 2.
    std::uint32_t epoch_count = 0, columns = 0, rows = 0, dimension = 0,
                  vector_count = 0, radius_start = 0, radius_end = 0,
                  kernel_type = 0;
    float scale_start = 0.0f, scale_end = 0.0f;
    std::string radius_cooling, scale_cooling, map_type, grid_type;
    bool cutoff = false, use_gaussian = false;
    auto convert = [&](int i, auto *value) {
        return qv_converted(qv_convert(arguments[i], value), i + 2,
                            qv_type_word(value));
    };
    if (!convert(1, &epoch_count) || !convert(2, &columns) ||
        !convert(3, &rows) || !convert(4, &dimension) ||
        !convert(5, &vector_count) || !convert(6, &radius_start) ||
        !convert(7, &radius_end) || !convert(8, &radius_cooling) ||
        !convert(9, &scale_start) || !convert(10, &scale_end) ||
        !convert(11, &scale_cooling) || !convert(12, &kernel_type) ||
        !convert(13, &map_type) || !convert(14, &grid_type) ||
        !convert(15, &cutoff) || !convert(16, &use_gaussian)) {
        return nullptr;
    }

    // Borrowed: the caller's references keep them alive for the call.
    PyArrayObject *codebook =
        qv_acquire_inplace_array(arguments[17], NPY_FLOAT);
    if (!codebook) {
        return nullptr;
    }
    PyArrayObject *bmus = qv_acquire_inplace_array(arguments[18], NPY_INT);
    if (!bmus) {
        return nullptr;
    }
    PyArrayObject *umatrix = qv_acquire_inplace_array(arguments[19], NPY_FLOAT);
    if (!umatrix) {
        return nullptr;
    }

    // The engine trusts these sizes and checks none; a shorter array would
    // be read or written past its end.
    const QvElementCount node_count = QvElementCount{columns} * rows;
    if (!qv_check_length(data.array, "data",
                         QvElementCount{vector_count} * dimension) ||
        !qv_check_length(codebook, "codebook", node_count * dimension) ||
        !qv_check_length(bmus, "bmus", QvElementCount{vector_count} * 2) ||
        !qv_check_length(umatrix, "umatrix", node_count)) {
        return nullptr;
    }

    quorvel::train(
        static_cast<const float *>(PyArray_DATA(data.array)),
        PyArray_SIZE(data.array), epoch_count, columns, rows, dimension,
        vector_count, radius_start, radius_end, radius_cooling, scale_start,
        scale_end, scale_cooling, kernel_type, map_type, grid_type, cutoff,
        use_gaussian, static_cast<float *>(PyArray_DATA(codebook)),
        PyArray_SIZE(codebook), static_cast<std::int32_t *>(PyArray_DATA(bmus)),
        PyArray_SIZE(bmus), static_cast<float *>(PyArray_DATA(umatrix)),
        PyArray_SIZE(umatrix));
    Py_RETURN_NONE;
}

PyObject *qv_train(PyObject *, PyObject *args) {
    // No C++ exception may unwind into the interpreter. The holders of
    // qv_train_checked have released the converted array and the strings by
    // the time a handler runs.
    try {
        return qv_train_checked(args);
    } catch (const std::runtime_error &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in train");
    }
    return nullptr;
}
