// Filled in with the text helpers and the attribute reader.
