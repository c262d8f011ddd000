// Call programs: a routine is a constant table of statements, one row per call, run by
// `run_program`. A row names its callee, its module-source line, the line of this
// implementation that writes it, and how its argument tuple is made.
#pragma once

#include "module/compat.h"
#include "module/constants.h"

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace pelmora {

struct ModuleState;

enum class ItemKind : std::uint8_t {
    argument,          // the caller's own object
    integer,           // a shared integer
    literal,           // a fresh float
    name,              // a constant looked up when the item is made
    product,           // fresh float literal × argument
    negation,          // -argument
    quotient,          // argument / argument
    quotient_product,  // (argument / argument) × argument
};

struct Item {
    ItemKind kind = ItemKind::argument;
    std::uint8_t first = 0;  // argument index, Int or Text
    std::uint8_t second = 0;
    std::uint8_t third = 0;
    double value = 0.0;
};

constexpr Item argument(std::uint8_t index) { return {ItemKind::argument, index, 0, 0, 0.0}; }
constexpr Item integer(Int id) {
    return {ItemKind::integer, static_cast<std::uint8_t>(id), 0, 0, 0.0};
}
constexpr Item literal(double value) { return {ItemKind::literal, 0, 0, 0, value}; }
constexpr Item named(Text id) { return {ItemKind::name, static_cast<std::uint8_t>(id), 0, 0, 0.0}; }
// `value` is the left operand, the argument the right one.
constexpr Item product(double value, std::uint8_t index) {
    return {ItemKind::product, index, 0, 0, value};
}
constexpr Item negation(std::uint8_t index) { return {ItemKind::negation, index, 0, 0, 0.0}; }
constexpr Item quotient(std::uint8_t dividend, std::uint8_t divisor) {
    return {ItemKind::quotient, dividend, divisor, 0, 0.0};
}
// A quotient of its own, multiplied on the left of `index`.
constexpr Item quotient_product(std::uint8_t dividend, std::uint8_t divisor, std::uint8_t index) {
    return {ItemKind::quotient_product, dividend, divisor, index, 0.0};
}

enum class ArgumentList : std::uint8_t {
    built,   // a new tuple of the row's items
    empty,   // the shared empty tuple
    cached,  // a shared all-integer tuple
};

inline constexpr std::size_t kMaxItems = 4;

struct Statement {
    int site_line = 0;    // the row's line in this implementation
    int line = 0;         // the module-source line a traceback reports
    Text callee = Text::count;
    ArgumentList list = ArgumentList::empty;
    std::uint8_t size = 0;  // items; for a cached list, the tuple's number
    Item items[kMaxItems] = {};
    bool plain = false;  // every item plain: see is_plain
};

// Arguments, shared integers and float literals: items whose making runs no
// interpreter code, so nothing can see where they are put.
constexpr bool is_plain(const Item& item) { return item.kind <= ItemKind::literal; }
static_assert(ItemKind::argument < ItemKind::literal && ItemKind::integer < ItemKind::literal,
              "the plain kinds come first");

// Rows name the line that writes them: pass __LINE__ itself, never from inside a macro,
// whose lines compilers number differently when a call spans several.
template <class... Items>
constexpr Statement call(int site_line, int line, Text callee, Items... items) {
    static_assert(sizeof...(Items) >= 1 && sizeof...(Items) <= kMaxItems, "1 to 4 items");
    return {site_line, line, callee, ArgumentList::built,
            static_cast<std::uint8_t>(sizeof...(Items)), {items...}, (is_plain(items) && ...)};
}
constexpr Statement call_without_arguments(int site_line, int line, Text callee) {
    return {site_line, line, callee, ArgumentList::empty, 0, {}};
}
constexpr Statement call_with_cached(int site_line, int line, Text callee, std::size_t number) {
    return {site_line, line, callee, ArgumentList::cached, static_cast<std::uint8_t>(number), {}};
}

struct Program {
    const char* routine;      // qualified name for traceback entries, "Pelmora.drawSquare"
    const char* source_file;  // where the table is written
    const Statement* statements;
    std::size_t count;
};

// __FILE__ as given to the compiler, trimmed to the part below "src/".
constexpr const char* source_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if ((p[0] == 's' && p[1] == 'r' && p[2] == 'c') && (p[3] == '/' || p[3] == '\\'))
            name = p + 4;
    return name;
}

// Module-source lines strictly rise through a table.
template <class Rows>
constexpr bool lines_rise(const Rows& rows) {
    for (std::size_t i = 1; i < std::size(rows); ++i)
        if (rows[i].line <= rows[i - 1].line) return false;
    return true;
}

// Runs every statement in order with `arguments` as the routine's parameters,
// looking names up in the module of `state`. New reference to None, or null with
// the first failure's exception pending and one traceback entry added (none when
// the routine is refused at entry for recursing too deep).
PyObject* run_program(const ModuleState& state, const Program& program,
                      PyObject* const* arguments);

}  // namespace pelmora
