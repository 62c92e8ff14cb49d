// Request splitting, parameter readers and responses of the native-messaging host.
#ifndef VARNELL_NATIVEMSG_JSONUTILITY_H
#define VARNELL_NATIVEMSG_JSONUTILITY_H

#include <cjson/cJSON.h>

// Result type codes of ConstructResponseJSON: the host's own numbering, not cJSON's type flags.
constexpr unsigned int QOVA_RESULT_TYPE_FALSE = 0;   // value: one byte, non-zero means true
constexpr unsigned int QOVA_RESULT_TYPE_TRUE = 1;    // value: one byte, non-zero means true
constexpr unsigned int QOVA_RESULT_TYPE_NUMBER = 3;  // value: double
constexpr unsigned int QOVA_RESULT_TYPE_STRING = 4;  // value: NUL-terminated UTF-8 text
constexpr unsigned int QOVA_RESULT_TYPE_INT = 7;     // value: signed 32-bit integer

// Splits a request {"function": text, "params": any, "randomId": text (optional)}; keys are matched
// without regard to case. Outputs (each optional, written only on success): the randomId copy (new[];
// null when the request carries none), the function-name copy (new[]), the duplicated parameter list
// (release with cJSON_Delete). A function name, randomId or the name of either member that an escaped
// NUL cuts short fails the split (0xFFFFFFFF); such texts in the parameter list are marked for
// JSONHasTextCutAtNUL. A "\u" without four hexadecimal digits, which cJSON reads as U+0000 though it
// is not JSON, fails the split wherever it stands in the object (member names included); cJSON's
// other leniencies (raw control characters, text after the object...) are read as cJSON reads them.
unsigned int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszRandomId, char** ppszFuncName,
                                   cJSON** ppParams);

// Whether a tree from ParseRequestMsgToJSON holds a text (a string, or a member name below the top)
// that an escaped NUL ("\u0000") cut short in the request. cJSON keeps no string length, so such a
// text reads as its part before the NUL; the parameter readers refuse these items (0xA0073204).
bool JSONHasTextCutAtNUL(const cJSON* pJSON);

// Parameter item nIndex of a list, either the bare value or an object whose member "param" holds it.
// Text: a new[] copy (released here when ppszItem is null).
unsigned int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArray, int nIndex, char** ppszItem);
unsigned int ConverJSONArrayItemtobool(const cJSON* pJSONArray, int nIndex, bool* pbValue);
// Integer part of a number item; *pnValue is written only when that is not 0.
unsigned int ConverJSONArrayItemtoint(const cJSON* pJSONArray, int nIndex, int* pnValue);

// Builds {"function", "errorcode", "result"}: "result" false for a non-zero code, by nType for code 0
// with a value, absent for code 0 without one. The object goes to *ppResponseJSON (release with
// cJSON_Delete), or is released when ppResponseJSON is null.
unsigned int ConstructResponseJSON(const char* pszFuncName, int nErrorCode, unsigned int nType, const void* pValue,
                                   cJSON** ppResponseJSON);

// Prints the response object, adding a non-empty randomId to it, or the fallback answer (errorcode
// 0x8009002D) when there is no object. The text is new[] either way: the caller delete[]s it (released
// here when ppszResponseMsg is null), and UTF-8: each ill-formed sequence, as a request's name or
// randomId may hold, becomes U+FFFD. Returns 0; 0xFFFFFFFF only when no memory is left for the text.
unsigned int ConvertJSONToResponseMsg(const char* pszRandomId, const char* pszFuncName, cJSON* pResponseJSON,
                                      char** ppszResponseMsg);

#endif
