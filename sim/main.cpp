// zelkor-sim: a simulated Arbelon or Handle on a pseudo-terminal.
#include <ZelkorHardwareAPI/version.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "arbelon_sim.h"
#include "handle_sim.h"
#include "log.h"
#include "options.h"
#include "serve.h"
#include "trajectory_file.h"

using namespace Zelkor::Sim;

int main(int argc, char** argv) {
    std::string error;
    const auto options = parse_options(argc - 1, argv + 1, error);
    if (!options) {
        std::fprintf(stderr, "zelkor-sim: %s\n%s", error.c_str(), usage().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (options->lines) {
        std::fputs(line_list().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("zelkor-sim %s\n", Zelkor::HardwareAPI::library_version);
        return 0;
    }
    set_verbose(options->verbose);

    std::unique_ptr<SimDevice> device;
    // Kept open until the simulator is done; each row is on disk by the time its reply leaves,
    // so a host that has its reply can read the row.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, std::fclose);
    if (options->device == Options::Device::arbelon) {
        auto arbelon = std::make_unique<ArbelonSim>(options->identity, options->fixed_dt,
                                                    arm_parameters(*options));
        if (options->echo) arbelon->echo_forces();
        if (!options->trace.empty()) {
            trace.reset(std::fopen(options->trace.c_str(), "w"));
            if (!trace) {
                std::fprintf(stderr, "zelkor-sim: --trace %s: %s\n", options->trace.c_str(),
                             std::strerror(errno));
                return 2;
            }
            std::setvbuf(trace.get(), nullptr, _IOLBF, 1 << 12);
            arbelon->trace_to(trace.get());
        }
        if (options->hand == Options::Hand::spring) {
            arbelon->attach_hand(options->hand_parameters, Trajectory(options->hand_target));
        } else if (options->hand == Options::Hand::recorded) {
            auto target = read_trajectory(options->hand_file, error);
            if (!target) {
                std::fprintf(stderr, "zelkor-sim: --hand %s: %s\n", options->hand_file.c_str(),
                             error.c_str());
                return 2;
            }
            log("hand: %s, %zu samples over %.3f s", options->hand_file.c_str(), target->size(),
                target->duration());
            arbelon->attach_hand(options->hand_parameters, std::move(*target));
        }
        device = std::move(arbelon);
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
