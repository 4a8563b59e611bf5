#include "PortList.h"
#include "FileOps.h"

#include "ExitStatus.h"

#include "TextLines.h"
#include "VirtualPorts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace multiport {

namespace {

using kv::trimmed;

// The lines of a port list: "PORT" or "PORT WORD".
bool read_port_file(const std::string& path, std::vector<std::string>* ports, std::vector<std::string>* extras,
                    std::string* error)
{
    std::ifstream f(kv::file_path(path));
    if (!f) {
        *error = "cannot read the port list " + path;
        return false;
    }
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        if (n > 4096) {
            *error = "the port list " + path + " has more than 4096 lines";
            return false;
        }
        std::string t = trimmed(line);
        if (t.empty() || t[0] == '#')
            continue;
        size_t gap = t.find_first_of(" \t");
        ports->push_back(t.substr(0, gap));
        extras->push_back(gap == std::string::npos ? "" : trimmed(t.substr(gap)));
        if (extras->back().find_first_of(" \t") != std::string::npos) {
            *error = path + " line " + std::to_string(n) + ": more than a port and one setting";
            return false;
        }
    }
    return true;
}

}  // namespace

bool collect_ports(const PortOptions& o, std::vector<std::string>* out, std::string* error,
                   std::vector<std::string>* extras)
{
    out->clear();
    std::vector<std::string> extra;
    for (const std::string& p : o.ports)
        if (!trimmed(p).empty()) {
            out->push_back(trimmed(p));
            extra.emplace_back();
        }
    if (!o.ports_from.empty() && !read_port_file(o.ports_from, out, &extra, error))
        return false;
    if (out->empty()) {
        *error = "give the port of the box with --port (or a list with --ports-from)";
        return false;
    }
    for (size_t i = 0; i < out->size(); ++i) {
        if (!extras && !extra[i].empty()) {
            *error = "the port list " + o.ports_from + " names more than a port on the line of " + (*out)[i];
            return false;
        }
        for (size_t k = 0; k < i; ++k)
            if ((*out)[i] == (*out)[k]) {
                *error = "the port " + (*out)[i] + " is named twice";
                return false;
            }
    }
    if (extras)
        *extras = std::move(extra);
    return true;
}

bool ports_with_types(const PortOptions& o, const std::vector<int>& given, const std::vector<int>& allowed,
                      std::vector<std::string>* ports, std::vector<int>* types, std::string* error)
{
    std::vector<std::string> own;
    if (!collect_ports(o, ports, error, &own))
        return false;
    if (given.size() > 1 && given.size() != ports->size()) {
        *error = std::to_string(given.size()) + " project types for " + std::to_string(ports->size()) +
                 " ports: give one, or one per port";
        return false;
    }
    types->clear();
    for (size_t i = 0; i < ports->size(); ++i) {
        int t = -1;
        if (!own[i].empty()) {
            char* end = nullptr;
            long v = std::strtol(own[i].c_str(), &end, 10);
            t = (own[i].size() <= 2 && end && *end == '\0') ? static_cast<int>(v) : -2;
        } else if (!given.empty()) {
            t = given.size() == 1 ? given[0] : given[i];
        }
        if (t == -1) {
            *error = "no project type for " + (*ports)[i] + ": give --project-type";
            return false;
        }
        if (std::find(allowed.begin(), allowed.end(), t) == allowed.end()) {
            *error = (*ports)[i] + ": project type " + own[i] + " is not one this command takes";
            return false;
        }
        types->push_back(t);
    }
    return true;
}

std::string port_label(const std::string& port)
{
    std::string p = port;
    size_t scheme = p.find("://");
    if (scheme != std::string::npos)
        p = p.substr(scheme + 3);
    else if (size_t slash = p.find_last_of('/'); slash != std::string::npos)
        p = p.substr(slash + 1);
    std::string out;
    for (char c : p)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '_';
    return out.empty() ? "port" : out;
}

std::string path_for_port(const std::string& pattern, const std::string& port)
{
    const std::string label = port_label(port);
    size_t at = pattern.find("{port}");
    if (at != std::string::npos) {
        std::string out = pattern;
        for (; at != std::string::npos; at = out.find("{port}", at + label.size()))
            out.replace(at, 6, label);
        return out;
    }
    size_t slash = pattern.find_last_of('/');
    size_t dot = pattern.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1 || dot == 0)
        return pattern + "-" + label;
    return pattern.substr(0, dot) + "-" + label + pattern.substr(dot);
}

bool pause_scale_allowed(double scale, const std::string& port)
{
    if (scale == 1.0 || kv::is_virtual_stb_port(port))
        return true;
    std::fprintf(stderr,
                 "error: --pause-scale is for a virtual STB only, and %s is not the port of a running stbsim: "
                 "a real box needs its pauses\n",
                 port.c_str());
    return false;
}

int open_job_port(CSerialMonitorSerivce* svc, const std::string& port, int baud, int* index, std::string* why)
{
    std::string text;
    serialport_config_tag cfg;
    if (!svc || !svc->SMS_Init()) {
        std::fprintf(stderr, "error: the serial service did not start\n");
        text = "cannot open " + port + ": the serial service did not start";
    } else if (cfg.port_index = svc->SMS_AddPort(port), cfg.baud_rate = baud;
               cfg.port_index < 0 || !svc->SMS_OpenPort(cfg)) {
        // The line layer may have named the port already.
        const std::string head = "cannot open " + port + ": ", reason = svc->last_error();
        text = reason.rfind(head, 0) == 0 ? reason : head + reason;
        std::fprintf(stderr, "error: %s\n", text.c_str());
    }
    if (why)
        *why = text;
    if (!text.empty())
        return cli_exit::kPort;
    if (index)
        *index = cfg.port_index;
    return cli_exit::kOk;
}

}  // namespace multiport
