#include "common/additional.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kinoro/root.h"
#include "tests/support/temp_dir.h"

namespace {

using LibKinoro::db::api::AbstractVideoAPI;
using LibKinoro::db::api::BaseVideoAPI;
using LibKinoro::db::api::CollectionAPI;
using LibKinoro::db::api::EpisodeAPI;
using LibKinoro::db::api::VideoAPI;
using Outcome = std::pair<std::set<std::string>, std::string>;  // switches on, cover rule

// Each class knows a leading run of these: the abstract class 3, the base
// video class 7, a video 12, an episode 13; a collection a video's 12 and
// the two after "tvshow_summary".
const char* const kKeys[] = {"summary", "poster_mtime", "backdrop_mtime", "file", "collection",
                             "watched_ratio", "conversion_produced", "actor", "director", "genre",
                             "writer", "extra", "tvshow_summary", "sharing_info", "filter_info",
                             // No class knows these: whole, case-sensitive keys only.
                             "Summary", "summary ", "with_summary", ""};

// Every switch that is on, named as its key (so that one turned on by
// mistake shows), and the cover rule the object holds.
template <typename Api>
Outcome Read(const Api& a) {
  // In the order of kKeys.
  std::vector<bool> on = {a.with_summary, a.with_poster_mtime, a.with_backdrop_mtime, a.with_file,
                          a.with_collection, a.with_watched_ratio, a.with_conversion_produced,
                          a.with_actor, a.with_director, a.with_genre, a.with_writer, a.with_extra};
  std::string rule;
  if constexpr (std::is_same_v<Api, EpisodeAPI>) {
    on.insert(on.end(), {a.with_tvshow_summary, false, false});
    rule = a.cover_rule();
  } else {
    on.insert(on.end(), {false, a.with_sharing_info, a.with_filter_info});
    rule = a.cover_rule;
  }
  std::set<std::string> names;
  for (size_t i = 0; i < on.size(); ++i) {
    if (on[i]) names.insert(kKeys[i]);
  }
  return {names, rule};
}

// An episode object seen as each of its bases takes that class's overload,
// so the episode's switches show what the base's overload turned on.
template <typename As>
Outcome TurnOnAs(const std::string& key) {
  EpisodeAPI api;
  Kinoro::webapi::TurnOnAdditional(key, static_cast<As&>(api));
  return Read(api);
}

// Each key turns on its own switch and no other, where the class has it;
// "poster_mtime" also hands over the prepared rule, except to the abstract
// class, which has no place for it.
TEST(AdditionalTest, EachKeyTurnsOnItsSwitchWhereTheClassHasIt) {
  kinoro_testing::ScopedRootFile settings(
      KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf"),
      R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "R"})");
  for (size_t i = 0; i < std::size(kKeys); ++i) {
    const std::string key = kKeys[i];
    auto expected = [&key](bool known, bool takes_rule) {
      return Outcome(known ? std::set<std::string>{key} : std::set<std::string>{},
                     takes_rule && key == "poster_mtime" ? "R" : "");
    };
    EXPECT_EQ(expected(i < 3, false), TurnOnAs<AbstractVideoAPI>(key)) << key;
    EXPECT_EQ(expected(i < 7, true), TurnOnAs<BaseVideoAPI>(key)) << key;
    EXPECT_EQ(expected(i < 12, true), TurnOnAs<VideoAPI>(key)) << key;
    EXPECT_EQ(expected(i < 13, true), TurnOnAs<EpisodeAPI>(key)) << key;
    CollectionAPI api;
    Kinoro::webapi::TurnOnAdditional(key, api);
    EXPECT_EQ(expected(i < 12 || i == 13 || i == 14, true), Read(api)) << key;
  }
}

// The text form, for the package's other modules (the module's tests pin
// the parsed form, and text too deep to read): the empty text is an empty
// list, an object is no list.
TEST(AdditionalTest, TextForm) {
  CollectionAPI api;
  EXPECT_TRUE(Kinoro::webapi::ProcessAdditional(std::string(), api));
  EXPECT_TRUE(Kinoro::webapi::ProcessAdditional(std::string(R"(["file"])"), api));
  EXPECT_FALSE(Kinoro::webapi::ProcessAdditional(std::string(R"({"summary": true})"), api));
  EXPECT_EQ(std::set<std::string>{"file"}, Read(api).first);
}

}  // namespace
