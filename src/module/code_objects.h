// The code objects of the module's traceback entries: one for every row of every routine's
// table and one for every argument refusal, made once when the module is executed, so that
// a failing call makes only its frame. Code objects belong to one interpreter: each module
// state has its own.
#pragma once

#include "module/program.h"

#include <cstddef>

namespace pelmora {

// Where in this implementation a failure was detected: shown in the entry's
// function-name field as "name (file:line)".
struct SourceSite {
    const char* file;
    int line;
};

#define PELMORA_HERE (::pelmora::SourceSite{::pelmora::source_name(__FILE__), __LINE__})

// Entries that share a function name and a module-source line, each at a site of its own.
struct SiteGroup {
    const char* function;
    const char* file;
    const int* site_lines;
    std::size_t count;
    int module_line;
};

// New reference to the code object of an entry at `module_line` of the module's source
// file, function-name field "function (site.file:site.line)"; null with an exception set.
PyObject* make_code_object(const char* function, SourceSite site, int module_line);

class CodeObjects {
public:
    static constexpr std::size_t kCapacity = 128;
    static constexpr std::size_t kMaxGroups = 8;

    CodeObjects() = default;
    CodeObjects(const CodeObjects&) = delete;
    CodeObjects& operator=(const CodeObjects&) = delete;

    // Makes one for every row of `programs` and every site of `groups`. False, with an
    // exception set, when one cannot be made.
    bool make(const Program* const* programs, std::size_t program_count,
              const SiteGroup* const* groups, std::size_t group_count);

    // Borrowed: the code object of row `index` of `program`, or of site `index` of `group`.
    PyObject* find(const void* table, std::size_t index) const;

    void clear();

    template <class Visit>
    int visit(Visit visit) const {
        for (std::size_t i = 0; i < count_; ++i)
            if (int result = visit(codes_[i])) return result;
        return 0;
    }

private:
    bool add(const void* table, const char* function, SourceSite site, int module_line);

    PyObject* codes_[kCapacity] = {};  // owned
    std::size_t count_ = 0;
    const void* tables_[kMaxGroups] = {};  // the programs and groups, each at its first code
    std::size_t firsts_[kMaxGroups] = {};
    std::size_t table_count_ = 0;
};

}  // namespace pelmora
