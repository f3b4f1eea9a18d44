// SPDX-License-Identifier: ISC
// Netstring framing: see netstring.hpp.
#include "tools/net/netstring.hpp"

#include <algorithm>

namespace
{

enum { NS_IN_LENGTH, NS_IN_PAYLOAD, NS_AT_COMMA, NS_DONE };

} // namespace

void netstring_append(std::string* out, std::string_view payload)
{
	out->append(std::to_string(payload.size()));
	out->push_back(':');
	out->append(payload);
	out->push_back(',');
}

void ns_decoder_init(ns_decoder* d, size_t max)
{
	d->payload.clear();
	d->max = max;
	d->length = 0;
	d->digits = 0;
	d->state = NS_IN_LENGTH;
}

ns_status ns_decode(ns_decoder* d, const char* data, size_t len, size_t* used)
{
	size_t i = 0;
	ns_status status = NS_PARTIAL;

	while (i < len && status == NS_PARTIAL) {
		char c = data[i];
		switch (d->state) {
		case NS_IN_LENGTH:
			i++;
			if (c == ':') {
				if (d->digits == 0) {
					status = NS_BAD_LENGTH;
					break;
				}
				d->payload.reserve(d->length);
				d->state = d->length ? NS_IN_PAYLOAD : NS_AT_COMMA;
			} else if (c < '0' || c > '9' || (d->digits == 1 && d->length == 0)) {
				status = NS_BAD_LENGTH;
			} else {
				d->length = d->length * 10 + static_cast<size_t>(c - '0');
				d->digits++;
				if (d->length > d->max)
					status = NS_TOO_LARGE;
			}
			break;
		case NS_IN_PAYLOAD: {
			size_t n = std::min(len - i, d->length - d->payload.size());
			d->payload.append(data + i, n);
			i += n;
			if (d->payload.size() == d->length)
				d->state = NS_AT_COMMA;
			break;
		}
		case NS_AT_COMMA:
			i++;
			if (c == ',') {
				d->state = NS_DONE;
				status = NS_COMPLETE;
			} else {
				status = NS_NO_COMMA;
			}
			break;
		default:
			// Already complete: nothing more belongs to this netstring.
			*used = 0;
			return NS_COMPLETE;
		}
	}
	*used = i;
	return status;
}

const char* ns_status_text(ns_status status)
{
	switch (status) {
	case NS_PARTIAL:
		return "incomplete netstring";
	case NS_COMPLETE:
		return "complete netstring";
	case NS_BAD_LENGTH:
		return "malformed netstring length";
	case NS_NO_COMMA:
		return "netstring not terminated by ','";
	case NS_TOO_LARGE:
		return "netstring too large";
	}
	return "netstring error";
}
