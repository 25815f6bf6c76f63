// Every fixed path of the package is the appliance path prefixed with
// KINORO_ROOT, a build-time setting: empty on the appliance, a folder inside
// the build tree for the demo and the tests. Nothing reads it at run time.
#ifndef KINORO_PLATFORM_INCLUDE_KINORO_ROOT_H_
#define KINORO_PLATFORM_INCLUDE_KINORO_ROOT_H_

#ifndef KINORO_ROOT
#define KINORO_ROOT ""
#endif

// KINORO_PATH("/var/run/x.pid") is a string literal with the root in front.
#define KINORO_PATH(p) KINORO_ROOT p

#endif  // KINORO_PLATFORM_INCLUDE_KINORO_ROOT_H_
