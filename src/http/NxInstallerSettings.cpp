#include "http/NxInstallerSettings.h"

void NxApplyInstallerSettings(TNxCustomHTTP& http) {
    http.ReadTimeout = NxStallLimitMs;
    http.ReserveLimit = NxInstallerReserveLimit;
    http.MaxLineAction = maException;
    http.AllowCookies = true;
    http.ProxyParams().SetProxyPort(0);
    http.ProxyParams().SetBasicAuthentication(false);
    TNxHTTPRequest& request = http.Request();
    request.SetContentLength(0);
    request.SetContentRangeStart(0);
    request.SetContentRangeEnd(0);
    request.SetContentType("text/html");
    request.SetAccept("text/html, */*");
    request.SetBasicAuthentication(false);
    request.SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
    http.HTTPOptions = TNxHTTPOptions{hoForceEncodeParams};
}
