#include "http/NxAuthentication.h"

#include <gtest/gtest.h>
#include <string>

TEST(NxAuthentication, Base64Vectors) {
    // RFC 4648 test vectors, plus bytes above 0x7F (code page 949 user names).
    const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"\xff\xfe\x80", "//6A"},
                                                         {std::string("\0a", 2), "AGE="}};
    for (const auto& [plain, encoded] : cases)
        EXPECT_EQ(EncodeBase64(plain), encoded) << plain;
}

TEST(NxAuthentication, BasicCredentials) {
    TNxBasicAuthentication basic;
    EXPECT_EQ(basic.Authentication(), "Basic Og=="); // empty user and password: a lone colon
    basic.SetParam("USERNAME", "Aladdin");
    basic.SetParam("password", "open sesame");
    EXPECT_EQ(basic.Username(), "Aladdin");
    EXPECT_EQ(basic.Authentication(), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    basic.SetUsername("");
    EXPECT_EQ(basic.Params().Count(), 1);
    EXPECT_EQ(basic.Authentication(), "Basic " + EncodeBase64(":open sesame"));
}

TEST(NxAuthentication, ParametersKeepBlanksAndLongValues) {
    TNxBasicAuthentication basic;
    const std::string password = "  two  blanks, comma " + std::string(120, 'x') + " end ";
    basic.SetPassword(password);
    basic.SetUsername("u");
    EXPECT_EQ(basic.Password(), password);
    EXPECT_EQ(basic.Authentication(), "Basic " + EncodeBase64("u:" + password));
}

TEST(NxAuthentication, RegistryHoldsBasicAndRefusesDuplicates) {
    const TNxAuthenticationClass basic = FindAuthMethod("bAsIc");
    ASSERT_NE(basic, nullptr);
    EXPECT_EQ(basic, NxBasicAuthenticationClass());
    const auto object = basic->Create();
    EXPECT_STREQ(object->ClassName(), "TNxBasicAuthentication");
    EXPECT_EQ(FindAuthMethod("Digest"), nullptr);

    try {
        RegisterAuthenticationMethod("BASIC", NxBasicAuthenticationClass());
        FAIL() << "registered twice";
    } catch (const ENxAlreadyRegisteredAuthenticationMethod& e) {
        EXPECT_STREQ(e.what(), "This authentication method is already registered with class name "
                               "TNxBasicAuthentication.");
    }

    static const TNxAuthenticationClassInfo custom{"TCustomAuth",
                                                   [] { return std::make_unique<TNxBasicAuthentication>(); }};
    RegisterAuthenticationMethod("X-Custom", &custom);
    EXPECT_EQ(FindAuthMethod("x-custom"), &custom);
    UnregisterAuthenticationMethod("X-CUSTOM");
    EXPECT_EQ(FindAuthMethod("X-Custom"), nullptr);
    EXPECT_NE(FindAuthMethod("Basic"), nullptr);
}
