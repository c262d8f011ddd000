// drawViewVolume(left, right, bottom, top, near, far): the twelve white edges of
// a perspective view volume. The far rectangle is drawn with homogeneous
// vertices (w = near / far); the side edges reach the same corners directly.
#include "draw/routines.h"
#include "module/arguments.h"

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

constexpr Item kWhite = literal(1.0);

constexpr Statement kViewVolume[] = {
    call(__LINE__, 49, Text::glColor4f, kWhite, kWhite, kWhite, kWhite),
    call(__LINE__, 51, Text::glBegin, named(Text::GL_LINES)),
    // Near rectangle: top, bottom, right, left edges.
    call(__LINE__, 53, Text::glVertex3d, argument(kRight), argument(kTop), kNearZ),
    call(__LINE__, 54, Text::glVertex3d, argument(kLeft), argument(kTop), kNearZ),
    call(__LINE__, 56, Text::glVertex3d, argument(kRight), argument(kBottom), kNearZ),
    call(__LINE__, 57, Text::glVertex3d, argument(kLeft), argument(kBottom), kNearZ),
    call(__LINE__, 59, Text::glVertex3d, argument(kRight), argument(kBottom), kNearZ),
    call(__LINE__, 60, Text::glVertex3d, argument(kRight), argument(kTop), kNearZ),
    call(__LINE__, 62, Text::glVertex3d, argument(kLeft), argument(kBottom), kNearZ),
    call(__LINE__, 63, Text::glVertex3d, argument(kLeft), argument(kTop), kNearZ),
    // Far rectangle, same edge order.
    call(__LINE__, 67, Text::glVertex4d, argument(kRight), argument(kTop), kNearZ, kFarW),
    call(__LINE__, 68, Text::glVertex4d, argument(kLeft), argument(kTop), kNearZ, kFarW),
    call(__LINE__, 70, Text::glVertex4d, argument(kRight), argument(kBottom), kNearZ, kFarW),
    call(__LINE__, 71, Text::glVertex4d, argument(kLeft), argument(kBottom), kNearZ, kFarW),
    call(__LINE__, 73, Text::glVertex4d, argument(kRight), argument(kBottom), kNearZ, kFarW),
    call(__LINE__, 74, Text::glVertex4d, argument(kRight), argument(kTop), kNearZ, kFarW),
    call(__LINE__, 76, Text::glVertex4d, argument(kLeft), argument(kBottom), kNearZ, kFarW),
    call(__LINE__, 77, Text::glVertex4d, argument(kLeft), argument(kTop), kNearZ, kFarW),
    // Side edges, near corner to far corner.
    call(__LINE__, 81, Text::glVertex3d, argument(kLeft), argument(kTop), kNearZ),
    call(__LINE__, 82, Text::glVertex3d, far_scaled(kLeft), far_scaled(kTop), kFarZ),
    call(__LINE__, 84, Text::glVertex3d, argument(kRight), argument(kTop), kNearZ),
    call(__LINE__, 85, Text::glVertex3d, far_scaled(kRight), far_scaled(kTop), kFarZ),
    call(__LINE__, 87, Text::glVertex3d, argument(kLeft), argument(kBottom), kNearZ),
    call(__LINE__, 88, Text::glVertex3d, far_scaled(kLeft), far_scaled(kBottom), kFarZ),
    call(__LINE__, 90, Text::glVertex3d, argument(kRight), argument(kBottom), kNearZ),
    call(__LINE__, 91, Text::glVertex3d, far_scaled(kRight), far_scaled(kBottom), kFarZ),
    call_without_arguments(__LINE__, 92, Text::glEnd),
};
static_assert(std::size(kViewVolume) == 27 && lines_rise(kViewVolume),
              "27 rows, each below the one before");
static_assert(kViewVolume[0].line > kDefinitionLine, "the rows follow the definition line");

}  // namespace

constexpr Program kViewVolumeProgram = {"Pelmora.drawViewVolume", source_name(__FILE__),
                                        kViewVolume, std::size(kViewVolume)};
constexpr SiteGroup kViewVolumeRefusals = refusal_sites(kViewVolumeProgram.routine,
                                                        kDefinitionLine);

namespace {

constexpr Parameters kParameters = {"drawViewVolume", kParameterNames, kParameterCount,
                                    &kViewVolumeRefusals};

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
