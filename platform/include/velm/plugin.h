// Metadata plug-in engine. Plug-ins are folders under the root's
// "/var/packages/Kinoro/target/plugins/"; the ranking and the plug-ins' own
// settings live in "/var/packages/Kinoro/etc/plugins.conf".
#ifndef KINORO_PLATFORM_INCLUDE_VELM_PLUGIN_H_
#define KINORO_PLATFORM_INCLUDE_VELM_PLUGIN_H_

#include <string>
#include <vector>

#include <json/json.h>

namespace VELMKinoro {

// Fills `conf` with the engine configuration; 0 on success, -1 otherwise
// (`conf` is then an empty object).
int VELMVideoLoadPluginFromConf(Json::Value& conf);

// Fills `plugins` with the ids that serve (type, action), highest priority
// first. `lang` narrows the list to plug-ins that declare the language; an
// empty `lang` means any. 0 on success, -1 when the configuration names no
// list for the pair.
int VELMVideoGetPluginPriority(Json::Value& conf, std::string type, std::string lang,
                               std::string action, std::vector<std::string>& plugins);

// Fills `plugins` with an object keyed by plug-in id whose members are the
// plug-ins' descriptions (their INFO, with the folder added). 0 on success.
int VELMVideoLoadPluginFromFolder(Json::Value& plugins);

// Runs one plug-in on one request: the plug-in's program gets
// {"action", "type", "lang", "input", "limit", "settings"} on its standard
// input and answers one JSON value on its standard output, which lands in
// `result`. `with_settings` hands the plug-in its settings from the
// configuration. A crash, a time-out, a non-zero exit or output that is not
// JSON gives a negative return; 0 otherwise.
// A plug-in whose INFO says "serves_many": true gets the request as one
// line on the standard input of a process kept for later lookups (one per
// plug-in and caller ids in the calling process) and answers one line;
// {"error": message} is its failed lookup.
int VideoPluginLookup(const Json::Value& plugin, const std::string& type,
                      const std::string& lang, const Json::Value& request, Json::Value& result,
                      unsigned long limit, bool with_settings);

}  // namespace VELMKinoro

#endif  // KINORO_PLATFORM_INCLUDE_VELM_PLUGIN_H_
