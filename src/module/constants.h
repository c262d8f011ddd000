// The constant table's shape: the strings (names spelled once, by the list below),
// the shared integers and the all-integer argument tuples the cubes pass.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelmora {

// The constant strings, in the order init makes them. NAME rows are interned
// names spelled by their identifier; TEXT rows are interned names that are not
// identifiers; the MESSAGE row is the one plain string.
#define PELMORA_TEXTS(NAME, TEXT, MESSAGE)                                                   \
    TEXT(OpenGL_GLUT, "OpenGL.GLUT")                                                         \
    TEXT(star, "*")                                                                          \
    TEXT(OpenGL_GL, "OpenGL.GL")                                                             \
    TEXT(OpenGL_GLU, "OpenGL.GLU")                                                           \
    MESSAGE(import_failure_message, "\nERROR: PyOpenGL not installed properly.\n        ")   \
    NAME(Pelmora)                                                                            \
    NAME(draw3DCoordinateAxes)                                                               \
    NAME(GL_LINES)                                                                           \
    NAME(GL_QUADS)                                                                           \
    TEXT(dunder_main, "__main__")                                                            \
    TEXT(dunder_test, "__test__")                                                            \
    NAME(bottom)                                                                             \
    NAME(drawColoredCube)                                                                    \
    NAME(drawGrayCube)                                                                       \
    NAME(drawSquare)                                                                         \
    NAME(drawViewVolume)                                                                     \
    NAME(exit)                                                                               \
    NAME(far)                                                                                \
    NAME(glBegin)                                                                            \
    NAME(glColor4f)                                                                          \
    NAME(glEnd)                                                                              \
    NAME(glPopMatrix)                                                                        \
    NAME(glPushMatrix)                                                                       \
    NAME(glRotatef)                                                                          \
    NAME(glTranslatef)                                                                       \
    NAME(glVertex3d)                                                                         \
    NAME(glVertex3f)                                                                         \
    NAME(glVertex4d)                                                                         \
    NAME(left)                                                                               \
    NAME(near)                                                                               \
    NAME(right)                                                                              \
    NAME(sys)                                                                                \
    NAME(top)

#define PELMORA_TEXT_ID(id, ...) id,
#define PELMORA_NAME_ID(id) id,
enum class Text : std::uint8_t {
    PELMORA_TEXTS(PELMORA_NAME_ID, PELMORA_TEXT_ID, PELMORA_TEXT_ID) count
};
#undef PELMORA_TEXT_ID
#undef PELMORA_NAME_ID

inline constexpr std::size_t kTextCount = static_cast<std::size_t>(Text::count);
static_assert(kTextCount == 33, "32 interned names and the import-failure message");

struct TextEntry {
    const char* chars;
    std::size_t size;  // with the terminating NUL
    bool interned;
};

#define PELMORA_NAME_ENTRY(id) {#id, sizeof #id, true},
#define PELMORA_TEXT_ENTRY(id, chars) {chars, sizeof chars, true},
#define PELMORA_MESSAGE_ENTRY(id, chars) {chars, sizeof chars, false},
inline constexpr TextEntry kTextEntries[] = {
    PELMORA_TEXTS(PELMORA_NAME_ENTRY, PELMORA_TEXT_ENTRY, PELMORA_MESSAGE_ENTRY)
};
#undef PELMORA_NAME_ENTRY
#undef PELMORA_TEXT_ENTRY
#undef PELMORA_MESSAGE_ENTRY
static_assert(sizeof kTextEntries / sizeof kTextEntries[0] == kTextCount, "one entry per text");
static_assert(kTextEntries[static_cast<std::size_t>(Text::import_failure_message)].size == 50,
              "a line feed, the 39-character sentence, a line feed and eight blanks");

inline constexpr const char* text_chars(Text id) {
    return kTextEntries[static_cast<std::size_t>(id)].chars;
}

// The shared integer objects, made in this order.
enum class Int : std::uint8_t { zero, one, ninety, minus_ninety, count };
inline constexpr long kIntegerValues[] = {0, 1, 90, -90};
inline constexpr std::size_t kIntegerCount = static_cast<std::size_t>(Int::count);

// Argument tuples whose items are all shared integers, numbered from 1: the
// cubes' drawSquare(1) and rotation calls, ten for each cube, never shared.
// draw/cube_faces.h derives their shapes from the cubes' faces.
struct CachedTuple {
    std::size_t size;
    Int items[4];
};
inline constexpr std::size_t kCachedTupleCount = 20;

}  // namespace pelmora
