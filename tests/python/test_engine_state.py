"""An actor unit's engine state set and read back at every kind of read position.

The kit's form of the state is the 624 words of the current block and the position of the next
word to read. A build whose standard library keeps the engine in another form (a ring of the last
624 words made, each made when asked for: the wheel's) converts both ways; at the block's edges
(the first and last words, the words 396 and 397 that the recurrence pairs) a wrong conversion
reads back different words or continues with a different sequence.
"""

import reference_model as model
from velto_actor_critic import VeltoActorCritic
from velto_kit import _native

OUTPUTS_READ = [0, 1, 2, 226, 227, 228, 396, 397, 398, 622, 623, 624, 625, 1247, 1248, 5000]


def advanced(outputs):
    engine = model.MT19937(20240607)
    for _ in range(outputs):
        engine()
    return engine


def positions():
    for outputs in OUTPUTS_READ:
        engine = advanced(outputs)
        yield f"{outputs} outputs read", engine, [(engine.state, engine.position)]
    # Right after a regeneration, before its first word is read: position 0, which no engine
    # reaches by itself (it reads a word as soon as it has regenerated). A ring has no such form:
    # it reads back as the block the new one is made from, read to its end, the same sequence;
    # of that block's first word only the top bit enters any later word, and only it is kept.
    previous = advanced(624)
    regenerated = previous.copy()
    regenerated._twist()
    as_ring = [previous.state[0] & 0x80000000, *previous.state[1:]]
    forms = [(regenerated.state, 0), (as_ring, 624)]
    yield "a block regenerated, none read", regenerated, forms


def test_engine_state_reads_back_and_continues_the_sequence_at_every_position():
    agent = VeltoActorCritic(4, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 7)
    for name, engine, forms in positions():
        _native.set_engine(agent, 0, engine.state, engine.position)
        words, position = _native.engine(agent, 0)
        assert (words.tolist(), position) in forms, name
        agent.step([0], 0.0, 0.9)  # probability 0.5: one draw of two outputs
        engine(), engine()
        words, position = _native.engine(agent, 0)
        assert (words.tolist(), position) == (engine.state, engine.position), name
