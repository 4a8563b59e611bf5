// corvane-cli tessel old: the customer configuration of old-layout images.
#pragma once

namespace CLI {
class App;
}

void add_tessel_old_command(CLI::App* tessel);
