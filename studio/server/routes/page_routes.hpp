#pragma once
// The operator app's pages and files, compiled into the program.
#include "studio/server/router.hpp"

namespace studio {

void register_pages(Router& router);

}  // namespace studio
