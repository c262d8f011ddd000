// drawSquare(size): one GL_QUADS quad of side `size` in the plane z = 0,
// centred on the origin, counter-clockwise seen from +z.
#include "draw/routines.h"
#include "module/program.h"

namespace pelmora {
namespace {

constexpr std::uint8_t kSize = 0;

constexpr Statement kSquare[] = {
    PELMORA_CALL(95, glBegin, named(Text::GL_QUADS)),
    PELMORA_CALL(96, glVertex3f, product(-0.5, kSize), product(-0.5, kSize), integer(Int::zero)),
    PELMORA_CALL(97, glVertex3f, product(0.5, kSize), product(-0.5, kSize), integer(Int::zero)),
    PELMORA_CALL(98, glVertex3f, product(0.5, kSize), product(0.5, kSize), integer(Int::zero)),
    PELMORA_CALL(99, glVertex3f, product(-0.5, kSize), product(0.5, kSize), integer(Int::zero)),
    PELMORA_CALL_EMPTY(100, glEnd),
};
static_assert(std::size(kSquare) == 6 && lines_rise(kSquare), "6 rows, each below the one before");

constexpr Program kSquareProgram = {"Pelmora.drawSquare", source_name(__FILE__), kSquare,
                                    std::size(kSquare)};

PyObject* draw_square(PyObject* self, PyObject* size) {
    return run_program(state_of(self), kSquareProgram, &size);
}

}  // namespace

PyMethodDef kSquareRoutine = {"drawSquare", draw_square, METH_O, nullptr};

}  // namespace pelmora
