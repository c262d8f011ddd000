// drawViewVolume(left, right, bottom, top, near, far): the twelve white edges of
// a perspective view volume. The far rectangle is drawn with homogeneous
// vertices (w = near / far); the side edges reach the same corners directly.
#include "draw/routines.h"
#include "module/arguments.h"
#include "module/program.h"

namespace pelmora {
namespace {

enum : std::uint8_t { kLeft, kRight, kBottom, kTop, kNear, kFar, kParameterCount };

constexpr Text kParameterNames[] = {Text::left, Text::right, Text::bottom,
                                    Text::top,  Text::near,  Text::far};
static_assert(std::size(kParameterNames) == kParameterCount, "one name per parameter");

constexpr int kDefinitionLine = 43;

// A corner of the near rectangle, and the same corner on the far plane as a
// homogeneous vertex.
constexpr Item kNearZ = negation(kNear);
constexpr Item kFarZ = negation(kFar);
constexpr Item kFarW = quotient(kNear, kFar);
// (far / near) × coordinate, one quotient per product.
constexpr Item far_scaled(std::uint8_t coordinate) {
    return quotient_product(kFar, kNear, coordinate);
}

constexpr Statement kViewVolume[] = {
    PELMORA_CALL(49, glColor4f, literal(1.0), literal(1.0), literal(1.0), literal(1.0)),
    PELMORA_CALL(51, glBegin, named(Text::GL_LINES)),
    // Near rectangle: top, bottom, right, left edges.
    PELMORA_CALL(53, glVertex3d, argument(kRight), argument(kTop), kNearZ),
    PELMORA_CALL(54, glVertex3d, argument(kLeft), argument(kTop), kNearZ),
    PELMORA_CALL(56, glVertex3d, argument(kRight), argument(kBottom), kNearZ),
    PELMORA_CALL(57, glVertex3d, argument(kLeft), argument(kBottom), kNearZ),
    PELMORA_CALL(59, glVertex3d, argument(kRight), argument(kBottom), kNearZ),
    PELMORA_CALL(60, glVertex3d, argument(kRight), argument(kTop), kNearZ),
    PELMORA_CALL(62, glVertex3d, argument(kLeft), argument(kBottom), kNearZ),
    PELMORA_CALL(63, glVertex3d, argument(kLeft), argument(kTop), kNearZ),
    // Far rectangle, same edge order.
    PELMORA_CALL(67, glVertex4d, argument(kRight), argument(kTop), kNearZ, kFarW),
    PELMORA_CALL(68, glVertex4d, argument(kLeft), argument(kTop), kNearZ, kFarW),
    PELMORA_CALL(70, glVertex4d, argument(kRight), argument(kBottom), kNearZ, kFarW),
    PELMORA_CALL(71, glVertex4d, argument(kLeft), argument(kBottom), kNearZ, kFarW),
    PELMORA_CALL(73, glVertex4d, argument(kRight), argument(kBottom), kNearZ, kFarW),
    PELMORA_CALL(74, glVertex4d, argument(kRight), argument(kTop), kNearZ, kFarW),
    PELMORA_CALL(76, glVertex4d, argument(kLeft), argument(kBottom), kNearZ, kFarW),
    PELMORA_CALL(77, glVertex4d, argument(kLeft), argument(kTop), kNearZ, kFarW),
    // Side edges, near corner to far corner.
    PELMORA_CALL(81, glVertex3d, argument(kLeft), argument(kTop), kNearZ),
    PELMORA_CALL(82, glVertex3d, far_scaled(kLeft), far_scaled(kTop), kFarZ),
    PELMORA_CALL(84, glVertex3d, argument(kRight), argument(kTop), kNearZ),
    PELMORA_CALL(85, glVertex3d, far_scaled(kRight), far_scaled(kTop), kFarZ),
    PELMORA_CALL(87, glVertex3d, argument(kLeft), argument(kBottom), kNearZ),
    PELMORA_CALL(88, glVertex3d, far_scaled(kLeft), far_scaled(kBottom), kFarZ),
    PELMORA_CALL(90, glVertex3d, argument(kRight), argument(kBottom), kNearZ),
    PELMORA_CALL(91, glVertex3d, far_scaled(kRight), far_scaled(kBottom), kFarZ),
    PELMORA_CALL_EMPTY(92, glEnd),
};
static_assert(std::size(kViewVolume) == 27 && lines_rise(kViewVolume),
              "27 rows, each below the one before");
static_assert(kViewVolume[0].line > kDefinitionLine, "the rows follow the definition line");

constexpr Program kViewVolumeProgram = {"Pelmora.drawViewVolume", source_name(__FILE__),
                                        kViewVolume, std::size(kViewVolume)};

constexpr Parameters kParameters = {"drawViewVolume", kViewVolumeProgram.routine,
                                    kDefinitionLine, kParameterNames, kParameterCount};

PyObject* draw_view_volume(PyObject* self, PyObject* positional, PyObject* keywords) {
    const ModuleState& state = state_of(self);
    Owned values[kParameterCount];
    if (!parse_arguments(state, kParameters, positional, keywords, values)) return nullptr;
    PyObject* arguments[kParameterCount];  // borrowed from `values`
    for (std::size_t i = 0; i < kParameterCount; ++i) arguments[i] = values[i].get();
    return run_program(state, kViewVolumeProgram, arguments);
}

constexpr char kDoc[] = "\n    Draws a view volume defined by (left, right, bottom, top, near, far)\n    ";
static_assert(sizeof kDoc - 1 == 78, "the docstring is 78 characters");

}  // namespace

PyMethodDef kViewVolumeRoutine = {"drawViewVolume",
                                  reinterpret_cast<PyCFunction>(
                                      reinterpret_cast<void (*)()>(draw_view_volume)),
                                  METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace pelmora
