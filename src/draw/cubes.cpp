// drawGrayCube(size) and drawColoredCube(size): the closed unit cube, six
// squares drawn through whatever `drawSquare` is bound to, each face in its own
// colour. `size` is accepted and not used. The twins share one face structure
// and differ in colours, lines and cached tuples.
#include "draw/routines.h"
#include "module/program.h"

#include <array>

namespace pelmora {
namespace {

struct Colour {
    double red, green, blue;
};

struct Face {
    int line_offset;           // first line of the face, from the routine's first line
    const CachedTuple* rotation;  // null: no rotation statement
    double offset;             // translation along the square's own z axis
};

constexpr Face kFaces[] = {
    {0, nullptr, 0.5},        // z = 0.5
    {6, nullptr, -0.5},       // z = -0.5
    {12, &kAboutY, -0.5},     // x = -0.5
    {19, &kAboutY, 0.5},      // x = 0.5
    {27, &kAboutX, -0.5},     // y = 0.5
    {34, &kBackAboutX, -0.5}, // y = -0.5
};

constexpr std::size_t kCubeStatements = 34;
using CubeProgram = std::array<Statement, kCubeStatements>;

constexpr CubeProgram cube_program(int first_line, const Colour (&colours)[6],
                                   std::size_t first_tuple) {
    CubeProgram rows{};
    std::size_t row = 0;
    std::size_t tuple = first_tuple;
    for (std::size_t face = 0; face < 6; ++face) {
        int line = first_line + kFaces[face].line_offset;
        const Colour& colour = colours[face];
        rows[row++] = PELMORA_CALL(line++, glColor4f, literal(colour.red), literal(colour.green),
                                   literal(colour.blue), literal(1.0));
        rows[row++] = PELMORA_CALL_EMPTY(line++, glPushMatrix);
        if (kFaces[face].rotation != nullptr)
            rows[row++] = PELMORA_CALL_CACHED(line++, glRotatef, tuple++);
        rows[row++] = PELMORA_CALL(line++, glTranslatef, integer(Int::zero), integer(Int::zero),
                                   literal(kFaces[face].offset));
        rows[row++] = PELMORA_CALL_CACHED(line++, drawSquare, tuple++);
        rows[row++] = PELMORA_CALL_EMPTY(line++, glPopMatrix);
    }
    return rows;
}

// Each cached row passes the tuple its face structure asks for.
constexpr bool tuples_match(const CubeProgram& rows) {
    std::size_t face = 0;
    for (const Statement& row : rows) {
        if (row.list != ArgumentList::cached) continue;
        const CachedTuple& passed = kCachedTuples[row.size - 1];
        if (row.callee == Text::drawSquare) {
            if (!same_tuple(passed, kSquareSize)) return false;
            ++face;
        } else if (!same_tuple(passed, *kFaces[face].rotation)) {
            return false;
        }
    }
    return face == 6;
}

constexpr Colour kGrays[6] = {
    {0.3, 0.3, 0.3}, {0.4, 0.4, 0.4}, {0.5, 0.5, 0.5},
    {0.6, 0.6, 0.6}, {0.7, 0.7, 0.7}, {0.8, 0.8, 0.8},
};
constexpr Colour kColours[6] = {
    {1.0, 0.0, 0.0}, {0.5, 0.5, 0.0}, {0.5, 0.5, 0.5},
    {0.0, 0.5, 0.5}, {0.5, 0.0, 0.5}, {0.5, 0.0, 0.0},
};

constexpr CubeProgram kGrayCube = cube_program(105, kGrays, 1);
constexpr CubeProgram kColoredCube = cube_program(151, kColours, 11);
static_assert(kGrayCube.back().line == 144 && lines_rise(kGrayCube) && tuples_match(kGrayCube));
static_assert(kColoredCube.back().line == 190 && lines_rise(kColoredCube) &&
              tuples_match(kColoredCube));

constexpr Program kGrayCubeProgram = {"Pelmora.drawGrayCube", source_name(__FILE__),
                                      kGrayCube.data(), kGrayCube.size()};
constexpr Program kColoredCubeProgram = {"Pelmora.drawColoredCube", source_name(__FILE__),
                                         kColoredCube.data(), kColoredCube.size()};

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
