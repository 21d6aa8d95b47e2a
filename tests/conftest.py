"""Settings of the whole suite: the hypothesis profile named by TOVIK_HYPOTHESIS_PROFILE
(`dev` unless it says `ci`; see testkit)."""

import testkit

testkit.load_profile()
