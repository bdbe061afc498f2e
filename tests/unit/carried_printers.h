// The machine the whole-run fault tests start from.
#pragma once

#include "support/fake_world.h"

namespace testmachine {

// The product of an old build, whose monitor is too old to keep (so a run
// removes and registers everything and each step does real work), with two
// printers an install carries across: Office, the default printer, and Lab.
inline void OldProductWithTwoCarriedPrinters(fake::World& world) {
  world.InstallProduct(1000);
  fake::WorldPrinter& office = world.AddProductPrinter(L"Office", "s1");
  office.comment = L"second floor";
  office.location = L"room 12";
  fake::WorldPrinter& lab = world.AddProductPrinter(L"Lab", "s2");
  lab.comment = L"bench";
  lab.location = L"basement";
  world.defaultPrinter = L"Office";
}

}  // namespace testmachine
