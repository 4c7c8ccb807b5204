#include "common/command_line.hpp"

#include <cstdlib>
#include <iostream>

#include <boost/program_options.hpp>

#include "common/exe_info.hpp"
#include "common/log_sinks.hpp"

namespace po = boost::program_options;

void run_standalone(const std::string& name, const std::string& version, int argc, char** argv)
{
    cf_log_threshold = log_error;
    cf_log_install(make_default_log());

    po::options_description visible("Command line options");
    visible.add_options()
        ("help,h", "print help message and exit")
        ("version,v", "print version and exit");
    po::options_description all("Command line options");
    all.add(visible).add_options()
        ("dump-app-info", "dump exe file info");

    po::variables_map options;
    po::store(po::command_line_parser(argc, argv)
                  .options(all)
                  // No positional arguments: declaring none makes the parser reject them.
                  .positional(po::positional_options_description())
                  .style(po::command_line_style::unix_style | po::command_line_style::long_case_insensitive)
                  .run(),
              options);
    po::notify(options);

    if (options.count("help")) {
        std::cout << visible << std::endl;
        std::exit(0);
    }
    if (options.count("version")) {
        std::cout << name << ' ' << version << std::endl;
        std::exit(0);
    }
    if (options.count("dump-app-info")) {
        kv::AppExeInfo info;
        try {
            info = make_exe_info(version, argc, argv);
        } catch (const std::exception&) {
            // An unreadable program file gives the empty record.
            info.Clear();
        }
        print_as_json(std::cout, info) << std::endl;
        std::exit(0);
    }
    std::cout << "Cannot run standalone. See " << name << "(1) for details." << std::endl;
    std::exit(1);
}
