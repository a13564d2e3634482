#include "profile.hpp"

namespace voxaria {

Profile profile;

}  // namespace voxaria
