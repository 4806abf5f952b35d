# The version texts and numbers of every binary, from the project version.
