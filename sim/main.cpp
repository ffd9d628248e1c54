// zelkor-sim: a simulated Arbelon or Handle on a pseudo-terminal.
#include <ZelkorHardwareAPI/version.h>

#include <cstdio>
#include <memory>
#include <string>

#include "arbelon_sim.h"
#include "handle_sim.h"
#include "log.h"
#include "options.h"
#include "serve.h"

using namespace Zelkor::Sim;

int main(int argc, char** argv) {
    std::string error;
    const auto options = parse_options(argc - 1, argv + 1, error);
    if (!options) {
        std::fprintf(stderr, "zelkor-sim: %s\n%s", error.c_str(), usage());
        return 2;
    }
    if (options->help) {
        std::fputs(usage(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("zelkor-sim %s\n", Zelkor::HardwareAPI::library_version);
        return 0;
    }
    set_verbose(options->verbose);

    std::unique_ptr<SimDevice> device;
    if (options->device == Options::Device::arbelon) {
        device = std::make_unique<ArbelonSim>(options->identity, options->fixed_dt);
        if (options->echo) static_cast<ArbelonSim&>(*device).echo_forces();
    } else {
        HandleSettings handle;
        handle.info.tool_data_remaining = options->tool_data_remaining;
        handle.info.device_id = options->identity.device_id;
        handle.info.device_model_number = options->identity.device_model_number;
        handle.info.hardware_version = options->identity.hardware_version;
        handle.info.firmware_version = options->identity.firmware_version;
        handle.status_rate = options->status_rate;
        handle.error_every = options->error_every;
        handle.error_code = options->error_code;
        device = std::make_unique<HandleSim>(handle);
    }
    return serve(*device, options->faults,
                 {options->link, options->exit_on_stdin_eof, options->line, options->realtime});
}
