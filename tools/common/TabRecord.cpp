#include "TabRecord.h"

#include "KvBasicCfgIni.h"
#include "LineUrl.h"
#include "ProgramFolders.h"
#include "Recorder.h"
#include "SerialMonitorService.h"

#include <mutex>
#include <unistd.h>

namespace corvane {

namespace {

struct ProgramLine {
    std::mutex mutex;
    std::unique_ptr<line::Recorder> recorder;
    std::string url;  // the database the recorder writes to
    std::string station;
};

ProgramLine& program_line()
{
    static ProgramLine p;
    return p;
}

std::string station_name()
{
    CKvBasicCfgIni ini;
    ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini"));
    std::string name = ini.GetValue("Line", "Station");
    if (!name.empty())
        return name;
    char host[256] = {};
    return ::gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "station";
}

// The program's recorder, (re)opened when the chosen database changed or an
// earlier attempt failed. Null with *error empty when recording is off.
line::Recorder* recorder(std::string* station, std::string* error)
{
    const line::DbChoice choice = line::choose_database("", false);
    if (choice.off)
        return nullptr;
    if (!choice.ok()) {
        *error = choice.error;
        return nullptr;
    }
    ProgramLine& p = program_line();
    std::lock_guard<std::mutex> l(p.mutex);
    if (!p.recorder || p.url != choice.url) {
        p.station = station_name();
        p.recorder = line::Recorder::open(choice.url, kv::data_directory() + "/corvane-line-tabs.spool", error);
        p.url = p.recorder ? choice.url : std::string();
    }
    *station = p.station;
    return p.recorder.get();
}

std::string open_port_name()
{
    CSerialMonitorSerivce* svc = kv::current_serial_service();
    if (!svc)
        return {};
    int count = 0;
    std::vector<serialport_info_tag> info;
    serialport_config_tag cfg;
    svc->SMS_GetCurSvcParam(&count, &info, &cfg);
    return cfg.port_index >= 0 && size_t(cfg.port_index) < info.size() ? info[size_t(cfg.port_index)].name : "";
}

}  // namespace

bool TabRecord::begin(line::JobStart label, IJobObserver* next, std::string* error)
{
    m_trace.set_next(next);
    std::string why;
    line::Recorder* rec = recorder(&label.station, &why);
    if (!rec && !why.empty()) {
        *error = "The line database is unavailable: " + why;
        return false;
    }
    label.port = open_port_name();
    m_trace.begin(rec, std::move(label));
    return true;
}

std::shared_ptr<TabRecord> begin_tab_record(const line::JobStart& label, IJobObserver* next, std::string* error)
{
    auto r = std::make_shared<TabRecord>();
    if (!r->begin(label, next, error))
        return nullptr;
    return r;
}

line::JobStart tab_job(const std::string& tool, const std::string& kind, int project_type, const std::string& image)
{
    line::JobStart j = line::job_on(tool, kind, image);
    j.project_type = project_type;
    return j;
}

}  // namespace corvane
