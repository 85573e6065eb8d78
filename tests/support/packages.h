// The one language in which tests describe packages: the words after
// "package NAME" in a scenario file.
//
//   name= version= build-time= flags= keep-image= note=
//   depends= provides= conflicts=   "name[:min[:max[:weight]]],..." ("name*N"
//                                   repeats an entry N times)
//   file=NAME:CONTENTS exec=NAME:CONTENTS class-file=CLASS:NAME:CONTENTS
//   zeros=COUNT:SIZE                COUNT files bin/fK of SIZE zero bytes
//   record=MODE:SIZE:NAMELEN:NAME:CONTENTS
//                                   a raw file record (octal mode; empty SIZE
//                                   and NAMELEN are the true ones)
//   sha256= unrecorded= signed= signature=   yes or no
//   flags-word=no                   a 32-byte header record, without flags
//   signature-length=N              a valid signature in a part of N bytes
//   signature-garbage=N             N bytes that are no signature
//   after-signature=TYPE:PAYLOAD
//   bundle-of=BLOB,... default-disabled=
//   raw=PIECE+PIECE...              hand-made parts behind a file header;
//                                   PIECE: @BLOB (its parts), or
//                                   TYPE/LENGTH/PAYLOAD with PAYLOAD
//                                   hdr:NAME:VERSION[:BYTES], refs:COUNT:NAME,
//                                   @BLOB or bytes (empty LENGTH: the true one)
// Damage, applied in this order after building:
//   files-length=N                  the files part's declared length
//   insert=OFFSET:PIECE             a piece inserted (size field kept true)
//   patch=OFFSET:BYTES              bytes overwritten (OFFSET < 0: from the end)
//   size-field=N (+N: N beyond the true size) magic=N keep=N cut=N
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testpkg {

// Builds the package that `words` (the options) describe; `blobs` holds the
// packages built before, by name. False with `error`.
bool build(const std::vector<std::string>& words, const std::map<std::string, std::string>& blobs,
           std::string& out, std::string& error);

}  // namespace testpkg
