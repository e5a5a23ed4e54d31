#include "support/CtrlTestEnv.h"
#include "host/link/DwLink.h"

namespace {

TEST_F(CtrlFixture, PortLookupAnswersKnownServicesOnly) {
  FakeLookup lookup(4001, 4002);
  DwPortResponder& responder = lookup.responder;
  std::string host = lookup.mangled();

  // Asked of the machine itself, whatever central servers the registry names.
  DWPlatformInfo::setValue("Link", "sServers", "127.0.0.1:" + std::to_string(freePort()));
  int port = 0, port2 = 0;
  ASSERT_OK(DwLink::lookupPort(host, "BlrCtrlSvc", &port, &port2));
  EXPECT_EQ(port, 4001);
  EXPECT_EQ(port2, 4002);

  port = port2 = -1;
  EXPECT_THAT(DwLink::lookupPort(host, "Nope", &port, &port2).Summary(),
              HasSubstr("No service \"Nope\" on this machine"));
  EXPECT_EQ(port, -1);
  // The responder's server delivers to its own table only.
  DwLinkClientConfig client;
  ASSERT_OK(DwLinkClientConfig::fromRegistry(&client, "127.0.0.1:" + std::to_string(responder.port())));
  EXPECT_THAT(DwLink("BLR").makeRemoteReq(client, {{"req", "get_pairs"}}, nullptr).Summary(),
              HasSubstr("No service \"BLR\" on this server"));
  EXPECT_THAT(DwLink::lookupPort("anchor@127.0.0.1", "BlrCtrlSvc", &port, &port2).Summary(),
              HasSubstr("not a mangled host name"));
  responder.stop();
  EXPECT_EQ(DwLink::lookupPort(host, "BlrCtrlSvc", &port, &port2).Code(), ECONNREFUSED);
}

}  // namespace
