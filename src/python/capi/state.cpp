// Everything the binding keeps between calls, in one place.
#include "python/capi/state.h"

#include "engine/certificate_format.h"
#include "python/capi/attribute_names.h"

namespace mavelin::py {

State& state() {
    // Never destroyed: its references must not be released after the interpreter ends.
    static State* const instance = new State();
    return *instance;
}

int intern_names() {
    Names& n = state().names;
    if (n.id) return 0;
    const struct {
        Ref Names::*field;
        const char* text;
    } kTable[] = {
        {&Names::id, certificate_format::kAttrId},
        {&Names::file_path, certificate_format::kAttrPath},
        {&Names::fingerprint, certificate_format::kAttrFingerprint},
        {&Names::initial_path, attr::kInitialPath},
        {&Names::chunk_size, attr::kChunkSize},
        {&Names::manager_step, attr::kTransformationStep},
        {&Names::file_nodes, attr::kFileNodes},
        {&Names::files_count, "files_count"},
        {&Names::fingerprint_errors, attr::kFingerprintErrors},
        {&Names::node, attr::kNode},
        {&Names::handler_step, "_FileNodeHandler__transformation_step"},
        {&Names::hash_list, "_FileNodeHandler__hash_list"},
        {&Names::file, "_FileNodeHandler__file"},
        {&Names::file_size, "_FileNodeHandler__file_size"},
    };
    Names fresh;
    for (const auto& row : kTable) {
        fresh.*row.field = Ref::steal(PyUnicode_InternFromString(row.text));
        if (!(fresh.*row.field)) return -1;
    }
    n = std::move(fresh);  // all or nothing: `id` set means every name is
    return 0;
}

}  // namespace mavelin::py
