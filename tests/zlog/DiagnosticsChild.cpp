// Helper process for the diagnostics test: the channel's files are read from the environment once,
// so each run needs a process of its own. Exercises a failed shutdown, a failed initialisation
// (argv[1] names a configuration that does not parse), the wrapper and a warning.
#include "qova_zlog.h"
#include "zlog.h"

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    zlog_fini();
    const int init = zlog_init(argv[1]);
    const unsigned int wrapper = qova_log_init_ex(argv[1]);
    zc_warn("a warning from %s", "the child");
    return 0 == init || 0 == wrapper ? 1 : 0;
}
