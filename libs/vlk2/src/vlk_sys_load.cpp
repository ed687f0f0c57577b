// What happens when the library is loaded: the runtime's random generator is
// seeded with the current time. Nothing happens at unload.
#include <cstdlib>
#include <ctime>

namespace {

__attribute__((constructor)) void VlkOnLoad() { std::srand(static_cast<unsigned int>(std::time(nullptr))); }

}  // namespace
