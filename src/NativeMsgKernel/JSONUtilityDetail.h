// Text helpers of the JSON layer that its fuzz targets check answers with; not part of the request
// and response interface.
#ifndef VARNELL_NATIVEMSG_JSONUTILITY_DETAIL_H
#define VARNELL_NATIVEMSG_JSONUTILITY_DETAIL_H

// A new[] copy of text in which every ill-formed UTF-8 sequence (its longest well-formed start, or
// one byte) is replaced by U+FFFD, as browsers decode it; null when no memory is left. Every answer
// text goes through it: a browser reads answers only as UTF-8.
char* CopyAsUTF8(const char* pszText);

#endif
