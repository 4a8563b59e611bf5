// Finding and loading the tool plug-ins.
//
// Every `*.so` (Windows: `*.dll`) in the program's folders (its own, and an
// installed tree's lib/corvane/plugins) is opened with dlopen(RTLD_NOW |
// RTLD_LOCAL) (Windows: LoadLibraryW); platform/PluginModule.h holds those
// calls. One that exports MultiViewDll and fills the slot with its view's
// QMetaObject is a tool. The search runs twice: the first pass opens, asks and
// closes every library; the second loads only the tools again, and those stay
// loaded until the table is destroyed. Files are taken in name order (the
// order the original platform's directory search returns them in).
#pragma once

#include <memory>
#include <string>
#include <vector>

struct QMetaObject;

namespace corvane {

// One tool plug-in. Destroying the record closes its library.
struct PluginRecord {
    std::string path;
    void* module = nullptr;
    const QMetaObject* view_class = nullptr;

    PluginRecord() = default;
    ~PluginRecord();
    PluginRecord(const PluginRecord&) = delete;
    PluginRecord& operator=(const PluginRecord&) = delete;
};

// What the first pass found out about one library (for --list-plugins).
struct PluginProbe {
    std::string path;
    bool loaded = false;  // dlopen succeeded
    bool has_export = false;  // MultiViewDll present
    bool is_plugin = false;  // ... and it filled the slot
    std::string class_name;  // the view's class name
    std::string error;  // dlopen's message when it did not load
};

class PluginTable {
public:
    PluginTable() = default;
    ~PluginTable() = default;
    PluginTable(const PluginTable&) = delete;
    PluginTable& operator=(const PluginTable&) = delete;

    // Searches `folder`; returns the number of tools now loaded. Runs once:
    // a second call returns the count of the first.
    int Discover(const std::string& folder, std::vector<PluginProbe>* probes = nullptr);
    // The same over several folders in order; a library whose file name was
    // already found in an earlier folder is skipped.
    int Discover(const std::vector<std::string>& folders, std::vector<PluginProbe>* probes = nullptr);

    size_t size() const { return m_records.size(); }
    // At program end: the libraries stay mapped until the process is gone,
    // so nothing Qt still holds from a tool (type data, statics) is unmapped
    // under it while the application shuts down.
    void LeaveLoadedAtExit();
    const PluginRecord& at(size_t i) const { return *m_records.at(i); }

    // The `*.so` (`*.dll`) files of `folder`, full paths, in name order.
    static std::vector<std::string> ListLibraries(const std::string& folder);
    // The same for several folders, earlier folders first, each file name once.
    static std::vector<std::string> ListLibraries(const std::vector<std::string>& folders);
    // Loads `path` and asks MultiViewDll for its view class. On success the
    // module stays open in *module; otherwise it is closed and *module is null.
    static const QMetaObject* Probe(const std::string& path, void** module, PluginProbe* probe = nullptr);

private:
    bool m_done = false;
    std::vector<std::unique_ptr<PluginRecord>> m_records;
};

}  // namespace corvane
