#include "app/application.h"

namespace quarn {

// The desktop application (window, model, URL routing) takes this place; until
// it does, starting without the provisioning switch ends at once.
int runApplication(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    return 0;
}

} // namespace quarn
