#include <cstdlib>
#include <exception>
#include <string>

#include "app/app.hpp"
#include "common/command_line.hpp"
#include "common/error.hpp"
#include "common/exit.hpp"
#include "common/log.hpp"
#include "common/process_start.hpp"
#include "error.pb.h"

int main(int argc, char** argv)
{
    open_standard_descriptors();
    catch_sigpipe();
    try {
        if (!std::getenv("COM_MORVA_MONITOR"))
            run_standalone("morva-firewall", MORVA_VERSION, argc, argv);

        // Supervised by marend: the application object takes over here.
        fw::app::run_supervised(std::getenv("COM_MORVA_MONITOR"));
    } catch (const std::exception& e) {
        cf_log_lazy(log_error, [&] { return std::string("Initialization failed: ") + e.what(); });
        exit_with_status(errorcode_from_exception(e));
    }
}
