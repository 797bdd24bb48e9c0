// Frames of a movie: 8-bit planar 4:2:0 (Y, then Cb and Cr at half the
// width and height) to and from ARGB32. See yuv.cpp.
#pragma once

#include "platform/ports/Imaging.h"

#include <cstddef>
#include <cstdint>

namespace plinthora::imaging {

struct PlanesIn {
    const uint8_t* data[3];
    int stride[3];
};
struct PlanesOut {
    uint8_t* data[3];
    int stride[3];
};
// A Y'CbCr matrix by the luma weights of red and blue, in full (0–255) or
// limited (16–235, 16–240) range.
struct YuvMatrix {
    double kr, kb;
    bool fullRange;
};

// 4:2:0 to opaque ARGB32 rows of outStride words.
void yuv420ToArgb(const PlanesIn& in, int width, int height, const YuvMatrix& matrix, uint32_t* out, size_t outStride);
// Only rows [begin, end) of the picture `in` holds from its top (any begin,
// odd too), row `begin` at `out`.
void yuv420RowsToArgb(const PlanesIn& in, int width, int begin, int end, const YuvMatrix& matrix, uint32_t* out,
                      size_t outStride);
// Rows of an ARGB32 picture of width × height pixels, from row firstRow on,
// one after another from `rows`.
struct ArgbRows {
    const uint32_t* rows;
    int firstRow, width, height;
    const uint32_t* row(int y) const { return rows + size_t(y - firstRow) * size_t(width); }
};
// BT.709 limited range from ARGB32, alpha ignored (a premultiplied colour is
// the pixel over black), into a width × height picture (even, the bitmap's
// size or one more); the added column and row are black. Only the row
// pairs [firstPair, endPair) when given: rows 2·firstPair up to 2·endPair,
// which the rows given must hold; and of those only columns [fromX, toX)
// when given (fromX even, toX even or the picture's width).
void argbToYuv420(const ArgbRows& argb, const PlanesOut& out, int width, int height, int firstPair = 0,
                  int endPair = -1, int fromX = 0, int toX = -1);
void argbToYuv420(const Bitmap& argb, const PlanesOut& out, int width, int height, int firstPair = 0, int endPair = -1);

}  // namespace plinthora::imaging
