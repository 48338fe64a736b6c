// The command-line flags of Ossamit: their names and the table handed to
// the parser, in this order.
#pragma once

#include "tools/common/CommandLineParser.h"

namespace Drem {

inline constexpr const wchar_t* kHelpFlag = L"?";
inline constexpr const wchar_t* kRegisterProductFlag = L"registerProduct";
inline constexpr const wchar_t* kUnregisterProductFlag = L"unregisterProduct";
inline constexpr const wchar_t* kRegisterViewerFlag = L"registerViewer";
inline constexpr const wchar_t* kUnregisterViewerFlag = L"unregisterViewer";
inline constexpr const wchar_t* kPluginPathFlag = L"pluginPath";
inline constexpr const wchar_t* kPluginFileFlag = L"pluginFile";

inline constexpr CommandLineParser::FlagDefinition kOssamitFlags[] = {
    {kHelpFlag, L"Display helpful information about the command line flags."},
    {kRegisterProductFlag,
     L"Register a product plugin. Specify a unique identifier for the plugin. The 'pluginPath' and "
     L"'pluginFile' flags are required if this flag is specified."},
    {kUnregisterProductFlag, L"Unregister a product plugin. Specify the unique identifier for the plugin."},
    {kRegisterViewerFlag, L"Register a viewer. Specify a unique identifier for the plugin."},
    {kUnregisterViewerFlag, L"Unregister a viewer. Specify the unique identifier for the plugin."},
    {kPluginPathFlag, L"The path to the product plugin. Drem placeholders can be used."},
    {kPluginFileFlag, L"The filename of the product plugin."},
};

}  // namespace Drem
