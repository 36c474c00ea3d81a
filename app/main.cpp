// The product: the real HID and USB backends, the configuration and image in the
// executable's directory, no options.
#include "app/TarvexApp.h"
#include "res/Resources.h"

CTarvexApp theApp;

int main(int argc, char** argv)
{
    tarvex::res::RegisterResources();
    return platform::ui::RunApp(argc, argv);
}
