// The whole basic layer in one include: errors.hpp, names.hpp, builtins.hpp, globals.hpp,
// calls.hpp, with.hpp. New code includes the header it needs.
#pragma once

#include <tessary/builtins.hpp>
#include <tessary/calls.hpp>
#include <tessary/errors.hpp>
#include <tessary/globals.hpp>
#include <tessary/names.hpp>
#include <tessary/with.hpp>
