// An API module for the host's own tests: each method exercises one road
// through the host (JSON answers, raw answers, exceptions, crashes, slow
// calls, the process's ids).
#include <json/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "velm/api_table.h"
#include "velm/webapi.h"

// Echoes the parameters and the login the host passed.
void TestEcho(VELM::APIRequest* req, VELM::APIResponse* resp) {
  Json::Value data(Json::objectValue);
  data["params"] = req->GetParams();
  data["uid"] = req->GetLoginUID();
  data["admin"] = req->IsAdmin();
  data["version"] = req->GetAPIVersion();
  resp->SetSuccess(data);
}

void TestNullData(VELM::APIRequest*, VELM::APIResponse* resp) { resp->SetSuccess(Json::Value()); }

// Answers the error named by "code".
void TestFail(VELM::APIRequest* req, VELM::APIResponse* resp) {
  resp->SetError(req->GetParams()["code"].asInt(), Json::Value());
}

// A raw answer: optional "status" (int), "etag" (string), "body" (string,
// written "repeat" times). Written half through stdio and half through
// iostream, as modules do both.
void TestRaw(VELM::APIRequest* req, VELM::APIResponse* resp) {
  const Json::Value& params = req->GetParams();
  resp->SetEnableOutput(false);
  const char* eol = params.isMember("lf") ? "\n" : "\r\n";
  if (params.isMember("status")) printf("Status: %d Test%s", params["status"].asInt(), eol);
  printf("Content-Type: text/plain%s", eol);
  if (params.isMember("etag")) printf("ETag: \"%s\"%s", params["etag"].asString().c_str(), eol);
  printf("X-Test: raw%s%s", eol, eol);
  const std::string body = params.get("body", "raw body").asString();
  std::string out;
  for (int n = params.get("repeat", 1).asInt(); n > 0; --n) out += body;
  std::cout << out;
}

// Turns output off and writes something that is not a CGI answer.
void TestRawGarbage(VELM::APIRequest*, VELM::APIResponse* resp) {
  resp->SetEnableOutput(false);
  printf("no headers here");
}

// Writes to standard output but answers in JSON.
void TestChatty(VELM::APIRequest*, VELM::APIResponse* resp) {
  printf("Status: 500 Leaked\r\n\r\nstray output");
  resp->SetSuccess(Json::Value(Json::objectValue));
}

void TestThrow(VELM::APIRequest*, VELM::APIResponse* resp) {
  resp->SetSuccess(Json::Value());
  throw std::runtime_error("test module failure");
}

void TestThrowInt(VELM::APIRequest*, VELM::APIResponse*) { throw 42; }

void TestAbort(VELM::APIRequest*, VELM::APIResponse*) { abort(); }

void TestSilent(VELM::APIRequest*, VELM::APIResponse*) {}

// Sleeps "ms" milliseconds (at most 60 s), then answers.
void TestSleep(VELM::APIRequest* req, VELM::APIResponse* resp) {
  const int ms = std::min(req->GetParams()["ms"].asInt(), 60000);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  Json::Value data(Json::objectValue);
  data["slept_ms"] = ms;
  resp->SetSuccess(data);
}

// The calling process's ids, for privilege and worker tests.
void TestWhoami(VELM::APIRequest*, VELM::APIResponse* resp) {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  getresuid(&ruid, &euid, &suid);
  getresgid(&rgid, &egid, &sgid);
  Json::Value data(Json::objectValue);
  data["pid"] = static_cast<Json::Int>(getpid());
  data["ruid"] = ruid;
  data["euid"] = euid;
  data["suid"] = suid;
  data["rgid"] = rgid;
  data["egid"] = egid;
  data["sgid"] = sgid;
  resp->SetSuccess(data);
}

static const char kTestApi[] = "Kinoro.Test";

static const APIMethodEntry gTestTable[] = {
    {kTestApi, 1, "echo", TestEcho},
    {kTestApi, 1, "null_data", TestNullData},
    {kTestApi, 1, "fail", TestFail},
    {kTestApi, 1, "raw", TestRaw},
    {kTestApi, 1, "raw_garbage", TestRawGarbage},
    {kTestApi, 1, "chatty", TestChatty},
    {kTestApi, 1, "throw", TestThrow},
    {kTestApi, 1, "throw_int", TestThrowInt},
    {kTestApi, 1, "abort", TestAbort},
    {kTestApi, 1, "silent", TestSilent},
    {kTestApi, 1, "sleep", TestSleep},
    {kTestApi, 1, "whoami", TestWhoami},
    {kTestApi, 2, "echo", TestEcho},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" const APIMethodEntry* GetAPITable() { return gTestTable; }
