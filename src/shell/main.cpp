#include "app/provisioning.h"
#include "shell/application.h"

int main(int argc, char *argv[])
{
    // Decided before anything else: the provisioning mode runs without a GUI
    // application object, a display or the model.
    if (quarn::provisioning::isRequested(argc, argv))
        return quarn::provisioning::run();
    return quarn::runApplication(argc, argv);
}
