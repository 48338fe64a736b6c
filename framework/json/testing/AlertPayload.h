#pragma once
// Benchmark support: an alert JSON as producers send it, the alert members
// with a context of a few kilobytes (texts, actions, options).
#include <string>

namespace bench {

inline std::wstring alertPayload(int actions) {
    std::wstring context =
        L"{\"category\":\"security\",\"title\":\"Your protection needs attention\","
        L"\"shortdescription\":\"Real-time scanning is off.\","
        L"\"longdescription\":\"Real-time scanning was turned off by a program. Turn it on again to keep "
        L"your files, downloads and e-mail protected against viruses and other threats. \\u00c4\\u00e9\","
        L"\"langid\":\"en-us\",\"detailscontent\":\"<p>Details about the \\\"threat\\\" and the fix.</p>\","
        L"\"defaultcontent\":\"Turn on real-time scanning\",\"recommendedtext\":\"Recommended\","
        L"\"detaillinktext\":\"Learn more\",\"detaillinkcontext\":\"https://example.invalid/help/rts\","
        L"\"appid\":\"product.av\",\"plugin\":\"avplugin\",\"timeout\":60,\"width\":420,\"status\":2,"
        L"\"detaillinktype\":1,\"SuppressAlertByDefault\":false,\"legacy\":false,"
        L"\"timeoutactions\":[{\"messagename\":\"Product.Alert.Timeout\",\"payload\":\"{}\"}],"
        L"\"dismissalactions\":[{\"messagename\":\"Product.Alert.Dismissed\",\"payload\":\"{}\"}],"
        L"\"options\":[{\"id\":\"remember\",\"text\":\"Don't show again\",\"selected\":false}],"
        L"\"actions\":[";
    for (int i = 0; i < actions; ++i) {
        if (i) context += L",";
        const std::wstring n = std::to_wstring(i);
        context += L"{\"id\":\"action" + n + L"\",\"text\":\"Action number " + n +
                   L"\",\"default\":" + (i == 0 ? L"true" : L"false") +
                   L",\"defaultmessage\":{\"messagename\":\"Product.Alert.Action" + n +
                   L"\",\"payload\":\"{\\\"choice\\\":" + n +
                   L"}\"},\"options\":[{\"idList\":[\"remember\"],\"message\":{\"messagename\":"
                   L"\"Product.Alert.Remember\",\"payload\":\"\"}}]}";
    }
    context += L"]}";
    return L"{\"id\":\"product.av.rts.off\",\"instanceId\":\"42\",\"priority\":\"P1\","
           L"\"product\":\"product.av\",\"content\":\"\",\"timeout\":30,\"sessionId\":1,"
           L"\"source\":\"client\",\"forcePreferredViewer\":false,"
           L"\"preferredViewer\":[\"toast\",\"tray\"],\"context\":" +
           context + L"}";
}

}  // namespace bench
