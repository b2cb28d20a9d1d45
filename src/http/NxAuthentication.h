#pragma once
// HTTP authentication schemes: the TNxAuthentication base that the header records and
// the request engine drive, the Basic scheme (RFC 2617) and the registry that maps a
// challenge's scheme name to the class that answers it.
#include <functional>
#include <memory>
#include <string>

#include "http/NxHeaderList.h"
#include "transport/NxException.h"

// Raised by RegisterAuthenticationMethod for a name that is already registered:
// "This authentication method is already registered with class name %s.".
NX_DECLARE_EXCEPTION(ENxAlreadyRegisteredAuthenticationMethod, ENxException)

class TNxAuthentication {
public:
    TNxAuthentication() = default;
    TNxAuthentication(const TNxAuthentication&) = delete;
    TNxAuthentication& operator=(const TNxAuthentication&) = delete;
    virtual ~TNxAuthentication() = default;

    // The credentials text for an "Authorization" / "Proxy-Authorization" value; empty
    // when the scheme has nothing to send.
    virtual std::string Authentication() = 0;
    // Number of request/challenge round trips the scheme needs.
    virtual int Steps() const { return 1; }
    // Round trips done so far; Reset starts the scheme over.
    int CurrentStep() const noexcept { return FCurrentStep; }
    virtual void Reset() { FCurrentStep = 0; }
    // True when the credentials the scheme holds are worth sending (asked after the
    // program supplied them for a challenge).
    virtual bool ReadyToSend() const { return true; }
    virtual const char* ClassName() const noexcept = 0;

    // Parameters by name ("Username", "Password", ...), names compared without regard
    // to case. Values are kept exactly: no trimming, folding or unfolding, since a
    // password may begin or end with blanks.
    std::string Param(const std::string& name) const;
    // An empty value removes the parameter.
    void SetParam(const std::string& name, const std::string& value);
    const TNxHeaderList& Params() const noexcept { return FParams; }

    std::string Username() const { return Param("Username"); }
    void SetUsername(const std::string& value) { SetParam("Username", value); }
    std::string Password() const { return Param("Password"); }
    void SetPassword(const std::string& value) { SetParam("Password", value); }

protected:
    int FCurrentStep = 0;

private:
    TNxHeaderList FParams;
};

// "Basic " + Base64(user name + ":" + password).
class TNxBasicAuthentication : public TNxAuthentication {
public:
    std::string Authentication() override;
    const char* ClassName() const noexcept override { return "TNxBasicAuthentication"; }
};

// Standard Base64 (RFC 2045 alphabet, "=" padding, no line breaks).
std::string EncodeBase64(const std::string& data);

// A registered scheme class: its name and a factory for new objects.
struct TNxAuthenticationClassInfo {
    std::string ClassName;
    std::function<std::unique_ptr<TNxAuthentication>()> Create;
};
using TNxAuthenticationClass = const TNxAuthenticationClassInfo*;

// The class descriptor of TNxBasicAuthentication.
TNxAuthenticationClass NxBasicAuthenticationClass();

// The registry starts with one entry, "Basic". Scheme names are compared without
// regard to case. The descriptor must outlive its registration.
void RegisterAuthenticationMethod(const std::string& methodName, TNxAuthenticationClass authClass);
// Removes a name; an unknown name does nothing.
void UnregisterAuthenticationMethod(const std::string& methodName);
// The class registered under the name, or nullptr.
TNxAuthenticationClass FindAuthMethod(const std::string& methodName);
