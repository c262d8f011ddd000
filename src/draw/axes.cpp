// draw3DCoordinateAxes(): the positive x, y and z axes, length 1, in red,
// green and blue, inside one GL_LINES primitive.
#include "draw/routines.h"
#include "module/state.h"

namespace pelmora {
namespace {

constexpr Item kZero = literal(0.0);
constexpr Item kOne = literal(1.0);

constexpr Statement kAxes[] = {
    call(__LINE__, 28, Text::glBegin, named(Text::GL_LINES)),
    call(__LINE__, 29, Text::glColor4f, kOne, kZero, kZero, kOne),
    call(__LINE__, 30, Text::glVertex3f, kZero, kZero, kZero),
    call(__LINE__, 31, Text::glVertex3f, kOne, kZero, kZero),
    call(__LINE__, 33, Text::glColor4f, kZero, kOne, kZero, kOne),
    call(__LINE__, 34, Text::glVertex3f, kZero, kZero, kZero),
    call(__LINE__, 35, Text::glVertex3f, kZero, kOne, kZero),
    call(__LINE__, 37, Text::glColor4f, kZero, kZero, kOne, kOne),
    call(__LINE__, 38, Text::glVertex3f, kZero, kZero, kZero),
    call(__LINE__, 39, Text::glVertex3f, kZero, kZero, kOne),
    call_without_arguments(__LINE__, 40, Text::glEnd),
};
static_assert(std::size(kAxes) == 11 && lines_rise(kAxes), "11 rows, each below the one before");

}  // namespace

constexpr Program kAxesProgram = {"Pelmora.draw3DCoordinateAxes", source_name(__FILE__), kAxes,
                                  std::size(kAxes)};

namespace {

PyObject* draw_axes(PyObject* self, PyObject*) {
    return run_program(state_of(self), kAxesProgram, nullptr);
}

}  // namespace

PyMethodDef kAxesRoutine = {"draw3DCoordinateAxes", draw_axes, METH_NOARGS, nullptr};

}  // namespace pelmora
