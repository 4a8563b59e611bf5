// A device command's line database: its options, the recorder of a run and
// each box's job record.
#include "MultiPort.h"

#include "ExitStatus.h"

#include "ProgramFolders.h"
#include "LineUrl.h"
#include "Recorder.h"

#include <cctype>
#include <cstdio>
#include <unistd.h>

namespace multiport {

namespace {

std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
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

void add_line_options(CLI::App* sub, LineFlags& o)
{
    sub->add_option("--db", o.db,
                    "The line database that records every job: sqlite:PATH or postgresql://USER@HOST:PORT/DB "
                    "(default: $CORVANE_DB, then [Line] Database in corvane.ini, then sqlite:corvane-line.db in "
                    "the data folder). Passwords come from ~/.pgpass, never from the command line");
    sub->add_flag("--no-db", o.no_db, "Record nothing in the line database");
    sub->add_option("--station", o.station, "The station's name in the line database (default: the host's name)");
}

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
        b->recorder = line.recorder.get();
        b->station = line.station;
        b->label = label;
        b->label.station = line.station;
        b->label.port = b->port;
        if (describe)
            describe(*b, b->label);
    }
    return cli_exit::kOk;
}

line::JobStart job_label(const std::string& tool, const std::string& kind, const std::string& image)
{
    line::JobStart j;
    j.tool = tool;
    j.kind = kind;
    if (!image.empty()) {
        const size_t slash = image.find_last_of("/\\");
        j.image_name = slash == std::string::npos ? image : image.substr(slash + 1);
        if (!line::file_digest(image, &j.image_sha256, &j.image_size)) {
            j.image_sha256.clear();
            j.image_size = -1;
        }
    }
    return j;
}

}  // namespace multiport
