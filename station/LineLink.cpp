// A device command's line database: its options, the recorder of a run and
// each box's job record.
#include "BoxRunner.h"

#include "Console.h"
#include "ExitStatus.h"

#include "ProgramFolders.h"
#include "LineUrl.h"
#include "Recorder.h"

#include <cctype>
#include <cstdio>

namespace multiport {

namespace {

std::string host_name()
{
    const std::string name = kv::machine_name();
    return name.empty() ? "station" : name;
}

// A station's name as a piece of a file name.
std::string file_piece(const std::string& s)
{
    std::string out;
    for (char c : s)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    return out;
}

}  // namespace

LineLink::~LineLink() = default;

int LineLink::open(const LineFlags& flags, const std::string& journal)
{
    station = flags.station.empty() ? host_name() : flags.station;
    const line::DbChoice choice = line::choose_database(flags.db, flags.no_db);
    if (!choice.ok()) {
        std::fprintf(stderr, "Error: %s\n", choice.error.c_str());
        return cli_exit::kUsage;
    }
    if (choice.off)
        return cli_exit::kOk;
    const std::string spool = !journal.empty()
                                  ? journal + ".line-spool"
                                  : kv::data_directory() + "/corvane-line-" + file_piece(station) + ".spool";
    std::string error;
    recorder = line::Recorder::open(choice.url, spool, &error);
    if (!recorder) {
        std::fprintf(stderr, "Error: database unavailable: %s\n", error.c_str());
        return cli_exit::kDatabase;
    }
    return cli_exit::kOk;
}

int BoxRun::record(const LineFlags& flags, const line::JobStart& label,
                   const std::function<void(const Box&, line::JobStart&)>& describe)
{
    if (int rc = line.open(flags))
        return rc;
    for (auto& b : boxes) {
        line.attach(*b, label);
        if (describe)
            describe(*b, b->label);
    }
    return cli_exit::kOk;
}

void LineLink::attach(Box& box, const line::JobStart& label, bool each_job) const
{
    box.recorder = recorder.get();
    box.record_job = each_job;
    box.station = station;
    box.label = label;
    box.label.station = station;
    box.label.port = box.port;
}

line::JobStart job_label(const std::string& tool, const std::string& kind, const std::string& image)
{
    return line::job_on(tool, kind, image);
}

}  // namespace multiport
