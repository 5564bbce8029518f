// The package format: a fixed 808-byte info record of up to 20 entries, the
// files' contents, and a CRC-16 at the end. Reader and writer.
#pragma once
