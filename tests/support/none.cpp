// Placeholder until the scripted server lands.
