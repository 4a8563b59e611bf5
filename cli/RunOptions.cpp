#include "RunOptions.h"

#include "PortHelp.h"

namespace multiport {

void add_port_options(CLI::App* sub, PortOptions& o)
{
    sub->add_option("--port", o.ports,
                    port_option_help("a box") +
                        ". Repeat it for several boxes at once: each port gets its own job and thread")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    sub->add_option("--ports-from", o.ports_from,
                    "Ports from a file, one per line (blank lines and lines starting with # are skipped), after "
                    "any --port")
        ->check(CLI::ExistingFile);
}

void add_line_options(CLI::App* sub, LineFlags& o)
{
    sub->add_option("--db", o.db,
                    "The line database that records every job: sqlite:PATH or postgresql://USER@HOST:PORT/DB "
                    "(default: $CORVANE_DB, then [Line] Database in corvane.ini, then sqlite:corvane-line.db in "
                    "the data folder). Passwords come from ~/.pgpass, never from the command line");
    sub->add_flag("--no-db", o.no_db, "Record nothing in the line database");
    sub->add_option("--station", o.station, "The station's name in the line database (default: the host's name)");
}

}  // namespace multiport
