// Keeps the app library non-empty until the main window lands.
namespace app_placeholder {
int unused = 0;
}
