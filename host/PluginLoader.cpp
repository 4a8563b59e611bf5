#include "PluginLoader.h"

#include "ToolPlugin.h"

#include <QMetaObject>

#include "PluginModule.h"

#include <set>

namespace corvane {

PluginRecord::~PluginRecord()
{
    if (module)
        platform::CloseModule(module);
}

std::vector<std::string> PluginTable::ListLibraries(const std::string& folder)
{
    return platform::ListModuleFiles(folder);
}

const QMetaObject* PluginTable::Probe(const std::string& path, void** module, PluginProbe* probe)
{
    *module = nullptr;
    if (probe) {
        *probe = PluginProbe();
        probe->path = path;
    }
    void* h = platform::OpenModule(path, probe ? &probe->error : nullptr);
    if (!h)
        return nullptr;
    if (probe)
        probe->loaded = true;
    auto fn = reinterpret_cast<MultiViewDllFn>(platform::FindSymbol(h, kMultiViewDllSymbol));
    if (!fn) {
        platform::CloseModule(h);
        return nullptr;
    }
    if (probe)
        probe->has_export = true;
    void* slot = nullptr;
    fn(&slot);  // the return value means nothing to the host
    if (!slot) {
        platform::CloseModule(h);
        return nullptr;
    }
    auto* meta = static_cast<const QMetaObject*>(slot);
    if (probe) {
        probe->is_plugin = true;
        probe->class_name = meta->className();
    }
    *module = h;
    return meta;
}

void PluginTable::LeaveLoadedAtExit()
{
    for (auto& r : m_records)
        r->module = nullptr;
}

int PluginTable::Discover(const std::string& folder, std::vector<PluginProbe>* probes)
{
    return Discover(std::vector<std::string>{folder}, probes);
}

std::vector<std::string> PluginTable::ListLibraries(const std::vector<std::string>& folders)
{
    std::vector<std::string> paths;
    std::set<std::string> names;
    for (const auto& folder : folders)
        for (auto& path : ListLibraries(folder))
            if (names.insert(path.substr(path.find_last_of(platform::kPathSeparators) + 1)).second)
                paths.push_back(std::move(path));
    return paths;
}

int PluginTable::Discover(const std::vector<std::string>& folders, std::vector<PluginProbe>* probes)
{
    if (m_done)
        return static_cast<int>(m_records.size());
    m_done = true;

    // First pass: which libraries are tools? Each is closed again.
    std::vector<std::string> tools;
    for (const auto& path : ListLibraries(folders)) {
        void* h = nullptr;
        PluginProbe probe;
        if (Probe(path, &h, &probe))
            tools.push_back(path);
        platform::CloseModule(h);
        if (probes)
            probes->push_back(std::move(probe));
    }
    // Second pass: load the tools for good. A file that changed in between
    // keeps an empty record and opens no tab.
    for (const auto& path : tools) {
        auto rec = std::make_unique<PluginRecord>();
        rec->path = path;
        rec->view_class = Probe(path, &rec->module);
        if (rec->view_class)
            m_records.push_back(std::move(rec));
    }
    return static_cast<int>(m_records.size());
}

}  // namespace corvane
