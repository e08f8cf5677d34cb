// A script file of a frame of another origin: its lines carry its address.
'use strict';
console.log('a frame line with its address');
