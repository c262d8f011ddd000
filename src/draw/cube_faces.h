// The faces both cubes are made of, and the all-integer argument tuples that
// their rows pass: each face's rotation, if it has one, then drawSquare's (1,),
// in row order, first for the gray cube and then for the coloured one.
#pragma once

#include "module/state.h"

#include <array>

namespace pelmora {

inline constexpr CachedTuple kSquareSize = {1, {Int::one}};
inline constexpr CachedTuple kAboutY = {4, {Int::ninety, Int::zero, Int::one, Int::zero}};
inline constexpr CachedTuple kAboutX = {4, {Int::ninety, Int::one, Int::zero, Int::zero}};
inline constexpr CachedTuple kBackAboutX = {4, {Int::minus_ninety, Int::one, Int::zero, Int::zero}};

struct Face {
    int line_offset;              // first line of the face, from the routine's first line
    const CachedTuple* rotation;  // null: no rotation statement
    double offset;                // translation along the square's own z axis
};

inline constexpr Face kFaces[] = {
    {0, nullptr, 0.5},         // z = 0.5
    {6, nullptr, -0.5},        // z = -0.5
    {12, &kAboutY, -0.5},      // x = -0.5
    {19, &kAboutY, 0.5},       // x = 0.5
    {27, &kAboutX, -0.5},      // y = 0.5
    {34, &kBackAboutX, -0.5},  // y = -0.5
};
inline constexpr std::size_t kCubeCount = 2;

constexpr std::size_t tuples_per_cube() {
    std::size_t count = 0;
    for (const Face& face : kFaces) count += face.rotation != nullptr ? 2 : 1;
    return count;
}
static_assert(tuples_per_cube() * kCubeCount == kCachedTupleCount,
              "ModuleState keeps one slot per cube tuple: set kCachedTupleCount to match the faces");

constexpr std::array<CachedTuple, kCachedTupleCount> cube_tuples() {
    std::array<CachedTuple, kCachedTupleCount> tuples{};
    std::size_t next = 0;
    for (std::size_t cube = 0; cube < kCubeCount; ++cube) {
        for (const Face& face : kFaces) {
            if (face.rotation != nullptr) tuples[next++] = *face.rotation;
            tuples[next++] = kSquareSize;
        }
    }
    return tuples;
}
inline constexpr std::array<CachedTuple, kCachedTupleCount> kCachedTuples = cube_tuples();

}  // namespace pelmora
