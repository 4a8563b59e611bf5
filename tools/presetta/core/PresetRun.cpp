#include "PresetRun.h"

#include "PresetData.h"

namespace presetta {

PresetRunOutcome RunPresetGeneration(const PresetRunRequest& r)
{
    PresetRunOutcome o;
    kv::CodePage cp = r.code_page.empty() ? kv::CodePage::from_settings() : kv::CodePage(r.code_page);
    if (!cp.valid()) {
        o.kind = JobErrorKind::Usage;
        o.errors.push_back("Error: unknown code page " + r.code_page);
        return o;
    }
    const InputCheck check = CheckInput(r.input);
    if (!check.ok) {
        o.kind = JobErrorKind::Input;
        o.errors.push_back(check.message);
        if (!check.detail.empty())
            o.errors.push_back(check.detail);
        return o;
    }
    const int rows = r.all_rows ? check.max_rows : r.rows;
    const CreateOutcome res = CreatePresetData(r.input, r.output, rows, check.max_rows, cp);
    if (!res.ok) {
        // A row count outside the list is the caller's mistake.
        o.kind = rows < kMinRows || rows > check.max_rows ? JobErrorKind::Usage : JobErrorKind::Failed;
        o.errors.push_back(res.message);
        return o;
    }
    o.report = res.message;
    o.notes = res.notes;
    return o;
}

}  // namespace presetta
