// draw3DCoordinateAxes(): the positive x, y and z axes, length 1, in red,
// green and blue, inside one GL_LINES primitive.
#include "draw/routines.h"
#include "module/program.h"

namespace pelmora {
namespace {

constexpr Statement kAxes[] = {
    PELMORA_CALL(28, glBegin, named(Text::GL_LINES)),
    PELMORA_CALL(29, glColor4f, literal(1.0), literal(0.0), literal(0.0), literal(1.0)),
    PELMORA_CALL(30, glVertex3f, literal(0.0), literal(0.0), literal(0.0)),
    PELMORA_CALL(31, glVertex3f, literal(1.0), literal(0.0), literal(0.0)),
    PELMORA_CALL(33, glColor4f, literal(0.0), literal(1.0), literal(0.0), literal(1.0)),
    PELMORA_CALL(34, glVertex3f, literal(0.0), literal(0.0), literal(0.0)),
    PELMORA_CALL(35, glVertex3f, literal(0.0), literal(1.0), literal(0.0)),
    PELMORA_CALL(37, glColor4f, literal(0.0), literal(0.0), literal(1.0), literal(1.0)),
    PELMORA_CALL(38, glVertex3f, literal(0.0), literal(0.0), literal(0.0)),
    PELMORA_CALL(39, glVertex3f, literal(0.0), literal(0.0), literal(1.0)),
    PELMORA_CALL_EMPTY(40, glEnd),
};
static_assert(std::size(kAxes) == 11 && lines_rise(kAxes), "11 rows, each below the one before");

constexpr Program kAxesProgram = {"Pelmora.draw3DCoordinateAxes", source_name(__FILE__), kAxes,
                                  std::size(kAxes)};

PyObject* draw_axes(PyObject* self, PyObject*) {
    return run_program(state_of(self), kAxesProgram, nullptr);
}

}  // namespace

PyMethodDef kAxesRoutine = {"draw3DCoordinateAxes", draw_axes, METH_NOARGS, nullptr};

}  // namespace pelmora
