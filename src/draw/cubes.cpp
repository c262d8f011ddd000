// drawGrayCube(size) and drawColoredCube(size): the closed unit cube, six
// squares drawn through whatever `drawSquare` is bound to, each face in its own
// colour. `size` is accepted and not used. The twins share one face structure
// and differ in colours, lines and cached tuples.
#include "draw/cube_faces.h"
#include "draw/routines.h"
#include "module/state.h"

#include <array>

namespace pelmora {
namespace {

struct Colour {
    double red, green, blue;
};

constexpr std::size_t kCubeStatements = 34;
constexpr Item kZ = integer(Int::zero);
using CubeProgram = std::array<Statement, kCubeStatements>;

constexpr CubeProgram cube_program(int first_line, const Colour (&colours)[6],
                                   std::size_t first_tuple) {
    CubeProgram rows{};
    std::size_t row = 0;
    std::size_t tuple = first_tuple;
    for (std::size_t face = 0; face < 6; ++face) {
        int line = first_line + kFaces[face].line_offset;
        const Colour& colour = colours[face];
        const Item red = literal(colour.red), green = literal(colour.green);
        const Item blue = literal(colour.blue), offset = literal(kFaces[face].offset);
        rows[row++] = call(__LINE__, line++, Text::glColor4f, red, green, blue, literal(1.0));
        rows[row++] = call_without_arguments(__LINE__, line++, Text::glPushMatrix);
        if (kFaces[face].rotation != nullptr)
            rows[row++] = call_with_cached(__LINE__, line++, Text::glRotatef, tuple++);
        rows[row++] = call(__LINE__, line++, Text::glTranslatef, kZ, kZ, offset);
        rows[row++] = call_with_cached(__LINE__, line++, Text::drawSquare, tuple++);
        rows[row++] = call_without_arguments(__LINE__, line++, Text::glPopMatrix);
    }
    return rows;
}

constexpr Colour kGrays[6] = {
    {0.3, 0.3, 0.3}, {0.4, 0.4, 0.4}, {0.5, 0.5, 0.5},
    {0.6, 0.6, 0.6}, {0.7, 0.7, 0.7}, {0.8, 0.8, 0.8},
};
constexpr Colour kColours[6] = {
    {1.0, 0.0, 0.0}, {0.5, 0.5, 0.0}, {0.5, 0.5, 0.5},
    {0.0, 0.5, 0.5}, {0.5, 0.0, 0.5}, {0.5, 0.0, 0.0},
};

// Each cube numbers its tuples on from the previous cube's, as cube_tuples() lays them out.
constexpr CubeProgram kGrayCube = cube_program(105, kGrays, 1);
constexpr CubeProgram kColoredCube = cube_program(151, kColours, 1 + tuples_per_cube());
static_assert(kGrayCube.back().line == 144 && lines_rise(kGrayCube),
              "the gray cube's rows end at line 144, each below the one before");
static_assert(kColoredCube.back().line == 190 && lines_rise(kColoredCube),
              "the coloured cube's rows end at line 190, each below the one before");

constexpr bool same_tuple(const CachedTuple& a, const CachedTuple& b) {
    for (std::size_t i = 0; i < a.size; ++i)
        if (a.items[i] != b.items[i]) return false;
    return a.size == b.size;
}

// Each cached row passes the tuple its face needs: cube_program numbers them as
// cube_tuples() lays them out.
constexpr bool tuples_match(const CubeProgram& rows) {
    std::size_t face = 0;
    for (const Statement& row : rows) {
        if (row.list != ArgumentList::cached) continue;
        const CachedTuple& passed = kCachedTuples[row.size - 1];
        if (row.callee == Text::glRotatef) {
            if (!same_tuple(passed, *kFaces[face].rotation)) return false;
        } else if (!same_tuple(passed, kSquareSize)) {
            return false;
        } else {
            ++face;
        }
    }
    return face == std::size(kFaces);
}
static_assert(tuples_match(kGrayCube) && tuples_match(kColoredCube),
              "a cached row's tuple number must lead to its own face's rotation or square size");

}  // namespace

constexpr Program kGrayCubeProgram = {"Pelmora.drawGrayCube", source_name(__FILE__),
                                      kGrayCube.data(), kGrayCube.size()};
constexpr Program kColoredCubeProgram = {"Pelmora.drawColoredCube", source_name(__FILE__),
                                         kColoredCube.data(), kColoredCube.size()};

namespace {

PyObject* draw_gray_cube(PyObject* self, PyObject*) {
    return run_program(state_of(self), kGrayCubeProgram, nullptr);
}
PyObject* draw_colored_cube(PyObject* self, PyObject*) {
    return run_program(state_of(self), kColoredCubeProgram, nullptr);
}

}  // namespace

PyMethodDef kGrayCubeRoutine = {"drawGrayCube", draw_gray_cube, METH_O, nullptr};
PyMethodDef kColoredCubeRoutine = {"drawColoredCube", draw_colored_cube, METH_O, nullptr};

}  // namespace pelmora
