// drawSquare(size): one GL_QUADS quad of side `size` in the plane z = 0,
// centred on the origin, counter-clockwise seen from +z.
#include "draw/routines.h"
#include "module/state.h"

namespace pelmora {
namespace {

constexpr std::uint8_t kSize = 0;
constexpr Item kLow = product(-0.5, kSize);  // -0.5 × size
constexpr Item kHigh = product(0.5, kSize);
constexpr Item kZ = integer(Int::zero);

constexpr Statement kSquare[] = {
    call(__LINE__, 95, Text::glBegin, named(Text::GL_QUADS)),
    call(__LINE__, 96, Text::glVertex3f, kLow, kLow, kZ),
    call(__LINE__, 97, Text::glVertex3f, kHigh, kLow, kZ),
    call(__LINE__, 98, Text::glVertex3f, kHigh, kHigh, kZ),
    call(__LINE__, 99, Text::glVertex3f, kLow, kHigh, kZ),
    call_without_arguments(__LINE__, 100, Text::glEnd),
};
static_assert(std::size(kSquare) == 6 && lines_rise(kSquare), "6 rows, each below the one before");

}  // namespace

constexpr Program kSquareProgram = {"Pelmora.drawSquare", source_name(__FILE__), kSquare,
                                    std::size(kSquare)};

namespace {

PyObject* draw_square(PyObject* self, PyObject* size) {
    return run_program(state_of(self), kSquareProgram, &size);
}

}  // namespace

PyMethodDef kSquareRoutine = {"drawSquare", draw_square, METH_O, nullptr};

}  // namespace pelmora
