<?xml version='1.0' encoding='utf-8'?>
	<ModelInfo>
		<ModelName>pingpong</ModelName>
		<Agents>
			<Agent name='court_ping'>
				<state name='serving'>
					<mesh scale='1.000000'>bat.obj</mesh>
					<pos x='-4.000000' y='0.000000' z='0.000000' />
					<rot x='0.000000' y='0.000000' z='0.000000' />
				</state>
				<state name='done'>
					<mesh scale='0.500000'>bat.obj</mesh>
					<pos x='-4.000000' y='0.000000' z='2.000000' />
					<rot x='0.000000' y='90.000000' z='0.000000' />
				</state>
			</Agent>
			<Agent name='court_pong'>
				<state name='waiting'>
					<mesh scale='1.000000'>bat.obj</mesh>
					<pos x='4.000000' y='0.000000' z='0.000000' />
					<rot x='0.000000' y='180.000000' z='0.000000' />
				</state>
				<state name='finished'>
					<mesh scale='0.500000'>bat.obj</mesh>
					<pos x='4.000000' y='0.000000' z='2.000000' />
					<rot x='0.000000' y='90.000000' z='0.000000' />
				</state>
			</Agent>
		</Agents>
	</ModelInfo>
